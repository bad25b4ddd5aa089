#include "image_build.h"

#include <lzma.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "image/stk_format.h"
#include "platform/kernel.h"

namespace stkimage {

namespace {
std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}
}  // namespace

namespace {

void copyText(char* field, size_t fieldSize, const std::string& text, const char* what) {
    if (text.size() >= fieldSize)
        throw BuildError{std::string(what) + " text is longer than " +
                         std::to_string(fieldSize - 1) + " characters"};
    std::memset(field, 0, fieldSize);
    std::memcpy(field, text.data(), text.size());
}

}  // namespace

Bytes zlibStream(const Bytes& data, int level) {
    uLongf len = compressBound(uLong(data.size()));
    Bytes out(len);
    if (compress2(out.data(), &len, data.data(), uLong(data.size()),
                  level < 0 ? Z_BEST_COMPRESSION : level) != Z_OK)
        throw BuildError{"zlib compression failed"};
    out.resize(len);
    return out;
}

Bytes lzmaAloneStream(const Bytes& data, int level) {
    lzma_options_lzma opt;
    if (lzma_lzma_preset(&opt, uint32_t(level < 0 ? 6 : level)))
        throw BuildError{"unsupported lzma level"};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&strm, &opt) != LZMA_OK) throw BuildError{"lzma encoder set-up failed"};
    Bytes out(data.size() + data.size() / 2 + 65536);
    strm.next_in = data.data();
    strm.avail_in = data.size();
    strm.next_out = out.data();
    strm.avail_out = out.size();
    lzma_ret r = lzma_code(&strm, LZMA_FINISH);
    out.resize(out.size() - strm.avail_out);
    lzma_end(&strm);
    if (r != LZMA_STREAM_END) throw BuildError{"lzma compression failed"};
    // The encoder leaves the size unknown; the boot program bounds its output by it.
    for (int i = 0; i < 8; ++i) out[5 + i] = uint8_t(uint64_t(data.size()) >> (8 * i));
    return out;
}

Bytes buildImage(const Bytes& firmware, const CreateOptions& opt) {
    if (firmware.empty()) throw BuildError{"the firmware file is empty"};
    uint64_t end = uint64_t(opt.loadAddress) + firmware.size();
    if (opt.loadAddress >= plat::bootAreaStart() || end > plat::bootAreaStart())
        throw BuildError{
            "the firmware does not fit in memory between the load address and "
            "the boot program's area (0x0F000000)"};

    Bytes code = opt.compression == Compression::Zlib ? zlibStream(firmware, opt.level)
                                                      : lzmaAloneStream(firmware, opt.level);
    size_t bootSize = opt.bootCode ? opt.bootCode->size() : 0;
    uint64_t total = stk::kOprHeaderSize + code.size() + bootSize;
    if (total > stk::kImageMaxSize)
        throw BuildError{"the image would be " + std::to_string(total) +
                         " bytes, more than the 16 MiB (16777216 bytes) limit"};

    stk::OprHeader h;
    h.targetDevice = opt.targetDevice;
    h.size = uint32_t(total);
    h.numComponents = opt.bootCode ? 2 : 1;
    stk::OprComponent& c = h.components[stk::kComponentOpCode];
    c.crc = stk::stkCrc16(code.data(), code.size());
    c.size = uint32_t(code.size());
    c.offset = 0;
    c.loadAddress = opt.loadAddress;
    c.compressionFlag =
        opt.compression == Compression::Zlib ? stk::kCompressionGzip : stk::kCompressionLzma;
    c.flashFlag = 1;
    if (opt.bootCode) {
        stk::OprComponent& b = h.components[stk::kComponentBootCode];
        b.crc = stk::stkCrc16(opt.bootCode->data(), bootSize);
        b.version = opt.bootCodeVersion;
        b.size = uint32_t(bootSize);
        b.offset = uint32_t(code.size());
        b.flashFlag = 1;
    }
    h.rel = opt.version[0];
    h.ver = opt.version[1];
    h.maint_lvl = opt.version[2];
    h.build_num = opt.version[3];
    copyText(h.timestamp, sizeof h.timestamp, opt.timestamp, "timestamp");
    copyText(h.file, sizeof h.file, opt.fileText, "file");

    Bytes image(total);
    stk::encodeOprHeader(h, image.data());
    std::memcpy(image.data() + stk::kOprHeaderSize, code.data(), code.size());
    if (opt.bootCode && bootSize)
        std::memcpy(image.data() + stk::kOprHeaderSize + code.size(), opt.bootCode->data(),
                    bootSize);
    stk::fileCrcStore(image.data(), image.size());
    return image;
}

Bytes buildStkFile(const std::vector<Bytes>& images, const uint8_t version[4]) {
    if (images.empty()) throw BuildError{"no image to bundle"};
    if (images.size() > stk::kStkMaxRecords)
        throw BuildError{"at most " + std::to_string(stk::kStkMaxRecords) +
                         " images fit in one STK file"};
    stk::StkFileHeader fh;
    fh.marker = stk::kStkMarker;
    fh.magic = stk::kStkMagic;
    fh.recordCount = uint32_t(images.size());
    fh.headerLength =
        uint32_t(stk::kStkFileHeaderFixedSize + stk::kStkImageRecordSize * images.size());
    fh.rel = version[0];
    fh.ver = version[1];
    fh.maint_lvl = version[2];
    fh.build_num = version[3];

    uint64_t offset = fh.headerLength;
    for (size_t i = 0; i < images.size(); ++i) {
        const Bytes& img = images[i];
        if (img.size() < stk::kOprHeaderSize || stk::hasStkFileHeader(img.data(), img.size()))
            throw BuildError{"image " + std::to_string(i + 1) + " is not a plain image file"};
        stk::OprHeader h;
        stk::decodeOprHeader(img.data(), h);
        if (h.size != img.size())
            throw BuildError{"image " + std::to_string(i + 1) + " has a Size of " +
                             std::to_string(h.size) + " but is " + std::to_string(img.size()) +
                             " bytes long"};
        for (size_t k = 0; k < i; ++k)
            if (fh.records[k].targetDevice == h.targetDevice)
                throw BuildError{"two images for target device " + hex32(h.targetDevice)};
        fh.records[i].imageOffset = uint32_t(offset);
        fh.records[i].targetDevice = h.targetDevice;
        fh.records[i].recordFlag = 1;
        offset += img.size();
        if (offset > stk::kImageMaxSize)
            throw BuildError{"the STK file would be larger than the 16 MiB (16777216 bytes) limit"};
    }
    fh.totalLength = uint32_t(offset);

    Bytes file(fh.totalLength);
    if (stk::encodeStkFileHeader(fh, file.data(), file.size()) != fh.headerLength)
        throw BuildError{"STK file header encoding failed"};
    size_t at = fh.headerLength;
    for (const Bytes& img : images) {
        std::memcpy(file.data() + at, img.data(), img.size());
        at += img.size();
    }
    stk::fileCrcStore(file.data(), file.size());
    return file;
}

bool parseVersion(const std::string& text, uint8_t out[4]) {
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = i < 3 ? text.find('.', pos) : text.size();
        if (end == std::string::npos || end == pos || end - pos > 3) return false;
        unsigned v = 0;
        for (size_t k = pos; k < end; ++k) {
            if (text[k] < '0' || text[k] > '9') return false;
            v = v * 10 + unsigned(text[k] - '0');
        }
        if (v > 255) return false;
        out[i] = uint8_t(v);
        pos = end + 1;
    }
    return true;
}

bool parseU32(const std::string& text, uint32_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '-' || *digits == '+' || *digits == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || end == digits || *end != '\0' || v > 0xFFFFFFFFull) return false;
    out = uint32_t(v);
    return true;
}

}  // namespace stkimage
