// STK image files and payloads for tests, built with the image codec and
// zlib/liblzma, and small helpers to patch them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stktest {

struct ImageSpec {
    std::string payload = "#!/bin/sh\necho test firmware\n";
    uint32_t targetDevice = 0x00508541;
    uint32_t loadAddress = 0x00010000;
    uint32_t compression = 1;  // 1 zlib, 2 lzma
    uint8_t rel = 1, ver = 2, maint = 3, build = 4;
    std::string timestamp = "Mon Dec  6 12:00:00 2026";
    std::string file = "test.stk";
    std::string bootCode = {};               // stored uncompressed as component 1 when not empty
    std::optional<std::string> stream = {};  // component 0 as given instead of the payload
};

// A complete image file (no STK file header) with correct header and file CRCs.
std::string makeImage(const ImageSpec& spec = {});
// The same image wrapped in an STK file header with one record per target device.
std::string makeStkFile(const ImageSpec& spec, const std::vector<uint32_t>& targets);

std::string zlibCompress(const std::string& data, int level = 9);
std::string lzmaAloneCompress(const std::string& data);
// Deterministic text that compresses well (random bytes: randomBytes()).
std::string textBytes(size_t n, uint32_t seed);

uint32_t be32(const std::string& s, size_t at);
// Stores the file CRC over bytes 2 .. length-1 (the whole string by default).
void restoreCrc(std::string& s, size_t length = std::string::npos);
// A copy with the word at `at` set to v and the file CRC restored over crcLength bytes.
std::string patched(std::string s, size_t at, uint32_t v, size_t crcLength = std::string::npos);

}  // namespace stktest
