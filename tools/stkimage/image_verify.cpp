// Verification applies the boot program's checks to the file's bytes in
// memory with the shared image codec: the same order of checks and the same
// validation codes as the boot program's own validation, the same tolerance of
// a short tail of transfer padding, and the original file is never touched.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "board/identity.h"
#include "image/stk_format.h"
#include "image/stkimage.h"
#include "image_show.h"

namespace stkimage {

namespace {

// The words first; the boot program's code (as its console messages show it) after them.
std::string failure(const std::string& words, int code) {
    return words + " (validation code " + std::to_string(code) + ")";
}

// A length field that the file does not hold. Without an STK file header the
// size field is all that says "image": one no image can have means the file is
// none, a plausible one that it was cut short.
std::string shortFile(const char* field, uint64_t stated, size_t have, bool stkFile, int code) {
    bool image = stkFile || (stated >= stk::kImageMinSize && stated <= stk::kImageMaxSize);
    return failure(std::string(image ? "truncated" : "not an image") + ": its " + field + " says " +
                       std::to_string(stated) + " bytes, the file has " + std::to_string(have),
                   code);
}

// The STK file header's checks; on success *base is the offset of the image
// for this board. An empty string means the header is good.
std::string checkStkFileHeader(const std::vector<uint8_t>& file, size_t& size, uint32_t* base) {
    uint32_t totalLength = stk::getBe32(file.data() + 12);
    if (size < totalLength)
        return shortFile("STK file header's total length", totalLength, size, true,
                         kValidateTooShort);
    // A short tail (a transfer's padding) is not part of the image.
    if (size - totalLength <= 1023) size = totalLength;
    uint32_t recordCount = stk::getBe32(file.data() + 8);
    uint32_t headerLength = stk::getBe32(file.data() + 20);
    if (recordCount > stk::kStkMaxRecords || headerLength > stk::kStkMaxHeaderLength)
        return failure("the STK file header has more than 10 records or is longer than 368 bytes",
                       kValidateBadHeader);
    if (recordCount == 0) return failure("the STK file header lists no image", kValidateNoRecords);
    StkFileHeader header;
    int records =
        stk::decodeStkFileHeader(file.data(), std::min<size_t>(size, headerLength), header);
    for (int i = 0; i < records; ++i) {
        if (header.records[i].targetDevice == kTargetDevice && header.records[i].recordFlag == 1) {
            *base = header.records[i].imageOffset;
            return "";
        }
    }
    return failure("no image record for target device 0x00508541 with record flag 1",
                   kValidateNoImageForBoard);
}

}  // namespace

bool verifyImage(const std::string& path, std::string& reason, std::string& summary) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file;
    if (in) file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        reason = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t size = file.size();
    if (size < stk::kStkFileHeaderFixedSize) {
        reason = failure("not an image: the file has only " + std::to_string(size) + " bytes",
                         kValidateShortOrBadCrc);
        return false;
    }
    uint32_t base = 0;
    if (stk::hasStkFileHeader(file.data(), size)) {
        reason = checkStkFileHeader(file, size, &base);
        if (!reason.empty()) return false;
    }
    stk::FileCrcSpan span;
    if (!stk::fileCrcSpan(file.data(), size, span) || span.length > size) {
        reason =
            shortFile(span.stkFileHeader ? "STK file header's total length" : "header's size field",
                      span.length, size, span.stkFileHeader, kValidateShortOrBadCrc);
        return false;
    }
    uint16_t computed = 0;
    if (!stk::fileCrcCheck(file.data(), size, &computed)) {
        char words[80];
        std::snprintf(words, sizeof words, "CRC mismatch: header says 0x%04x, data gives 0x%04x",
                      span.storedCrc, computed);
        reason = failure(words, kValidateShortOrBadCrc);
        return false;
    }
    OprHeader h;
    if (uint64_t(base) + stk::kOprHeaderSize > size) {
        reason = "no readable image header for target device 0x00508541";
        return false;
    }
    stk::decodeOprHeader(file.data() + base, h);
    if (h.numComponents > stk::kOprComponentCount) {
        reason = "the image header lists more than 10 components";
        return false;
    }
    if (h.targetDevice != kTargetDevice) {
        char buf[120];
        std::snprintf(buf, sizeof buf, "the image is for target device 0x%08x, not 0x%08x",
                      h.targetDevice, kTargetDevice);
        reason = buf;
        return false;
    }
    const OprComponent& c = h.components[stk::kComponentOpCode];
    if (c.size == 0 || uint64_t(c.offset) + base + stk::kOprHeaderSize + c.size > size) {
        reason = "the operational code component is empty or lies outside the file";
        return false;
    }
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "valid: target device 0x%08x, %s operational code of %u bytes at load address "
                  "0x%08x, file CRC correct",
                  h.targetDevice, c.compressionFlag == stk::kCompressionGzip ? "zlib" : "lzma",
                  c.size, c.loadAddress);
    summary = buf;
    return true;
}

}  // namespace stkimage
