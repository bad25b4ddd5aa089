// Building STK image files: compression of the firmware, the image header with
// its components, the STK file header around several images, and the CRCs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/identity.h"

namespace stkimage {

using Bytes = std::vector<uint8_t>;

enum class Compression { Zlib, Lzma };

struct CreateOptions {
    uint32_t targetDevice = kTargetDevice;
    uint32_t loadAddress = 0x00010000;
    Compression compression = Compression::Lzma;
    int level = -1;                     // -1: the default of the compressor
    uint8_t version[4] = {1, 0, 0, 0};  // rel, ver, maint_lvl, build_num
    std::string timestamp;
    std::string fileText;
    std::optional<Bytes> bootCode;
    uint32_t bootCodeVersion = 1;
};

// A failure with a one-line reason.
struct BuildError {
    std::string reason;
};

Bytes zlibStream(const Bytes& data, int level);
// LZMA-alone stream with the uncompressed size filled in.
Bytes lzmaAloneStream(const Bytes& data, int level);

// One image (image header, operational code, optional boot code) with its
// header CRC by the file CRC rule. Throws BuildError.
Bytes buildImage(const Bytes& firmware, const CreateOptions& opt);

// An STK file holding the given images (each a complete image as built by
// buildImage, for different target devices), version of the file as given.
// Throws BuildError.
Bytes buildStkFile(const std::vector<Bytes>& images, const uint8_t version[4]);

// Parses "rel.ver.maint.build" (each 0..255); false when malformed.
bool parseVersion(const std::string& text, uint8_t out[4]);
// Parses a 32-bit number in decimal or 0x hex; false when malformed.
bool parseU32(const std::string& text, uint32_t& out);

}  // namespace stkimage
