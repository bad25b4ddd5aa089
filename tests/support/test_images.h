// STK image files for tests, built with the image codec and zlib/liblzma.
#pragma once

#include <cstdint>
#include <string>

namespace stktest {

struct ImageSpec {
    std::string payload = "#!/bin/sh\necho test firmware\n";
    uint32_t targetDevice = 0x00508541;
    uint32_t loadAddress = 0x00010000;
    uint32_t compression = 1;  // 1 zlib, 2 lzma
    uint8_t rel = 1, ver = 2, maint = 3, build = 4;
    std::string timestamp = "Mon Dec  6 12:00:00 2026";
    std::string file = "test.stk";
    std::string bootCode;  // stored uncompressed as component 1 when not empty
};

// A complete image file (no STK file header) with correct header and file CRCs.
std::string makeImage(const ImageSpec& spec = {});
// The same image wrapped in an STK file header with one record per target device.
std::string makeStkFile(const ImageSpec& spec, const uint32_t* targets, int count);

std::string zlibCompress(const std::string& data);
std::string lzmaAloneCompress(const std::string& data);

}  // namespace stktest
