// STK image files: the byte codec of the image header and the STK file
// header, the CRCs, and the routines that read and validate a stored image,
// fed one arbitrary file.
#include <algorithm>
#include <cstring>
#include <vector>

#include "image/stkimage.h"
#include "support/fuzz_board.h"

namespace {

// Decoding and encoding again gives back the bytes of the fields.
void codecRoundTrip(const uint8_t* data, size_t size) {
    if (size >= stk::kOprHeaderSize) {
        stk::OprHeader header;
        stk::decodeOprHeader(data, header);
        uint8_t again[stk::kOprHeaderSize];
        stk::encodeOprHeader(header, again);
        FUZZ_CHECK(std::memcmp(again, data, sizeof again) == 0);
    }
    stk::StkFileHeader fileHeader;
    int records = stk::decodeStkFileHeader(data, size, fileHeader);
    FUZZ_CHECK(records == -1 ? size < stk::kStkFileHeaderFixedSize
                             : records >= 0 && records <= int(stk::kStkMaxRecords));
    if (records < 0) return;
    uint8_t again[stk::kStkMaxHeaderLength];
    size_t written = stk::encodeStkFileHeader(fileHeader, again, sizeof again);
    size_t decoded = stk::kStkFileHeaderFixedSize + stk::kStkImageRecordSize * size_t(records);
    FUZZ_CHECK(written >= decoded && written <= sizeof again);
    FUZZ_CHECK(std::memcmp(again, data, decoded) == 0);
}

// Every way of computing a CRC agrees with the one-table method.
void crcsAgree(const uint8_t* data, size_t size) {
    uint16_t bytewise = stk::stkCrc16Bytewise(data, size);
    FUZZ_CHECK(stk::stkCrc16(data, size) == bytewise);
    FUZZ_CHECK(stk::detail::stkCrc16Sliced(data, size, 0) == bytewise);
    FUZZ_CHECK(bspapiCalcCrc(data, uint32_t(size)) == bytewise);
    uint16_t length = uint16_t(std::min<size_t>(size, 0xFFFF));
    FUZZ_CHECK(bspapiCheckCfDCRC(stk::stkCrc16Bytewise(data, length), data, length) == 0);
    FUZZ_CHECK(bspapiCheckCfDCRCITT(stk::kermitCrc16(data, length), data, length) == 0);
}

// What the file CRC rule says of these bytes as a whole stored image.
bool intactByFileCrcRule(const uint8_t* data, size_t size) {
    stk::FileCrcSpan span;
    if (!stk::fileCrcSpan(data, size, span)) return false;
    if (span.length < stk::kImageMinSize || span.length > stk::kImageMaxSize) return false;
    return span.length <= size && stk::fileCrcCheck(data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    codecRoundTrip(data, size);
    crcsAgree(data, size);

    stkfuzz::freshBoard();
    stkfuzz::writeFile("image1", data, size);
    stkfuzz::runOnBoard([&] {
        // The check of the active image (no image list: "image1") agrees
        // with the rule applied to the bytes in memory.
        FUZZ_CHECK((check_oprcrc_in_flash() == 0) == intactByFileCrcRule(data, size));

        OprHeader header;
        int rc = bspapiOprHeaderRead("image1", &header);
        FUZZ_CHECK(rc == 0 || rc == 1);
        FUZZ_CHECK(header.timestamp[stk::kOprTimestampSize - 1] == '\0');
        FUZZ_CHECK(header.file[stk::kOprFileSize - 1] == '\0');
        if (rc == 0) FUZZ_CHECK(header.numComponents <= stk::kOprComponentCount);
        print_vpd_in_flash();

        ImageVersion version;
        FUZZ_CHECK(bspapiImageVersionGet("image1", &version) == 0 && version.valid == 1);
        // Last: validation may cut a short tail off the file.
        int code = bspapiValidateImage("image1", 1);
        FUZZ_CHECK(code >= 0 && code <= kValidateBadVersion);
        bspapiValidateImage("image1", 0);
    });
    return 0;
}
