// CRC routines over buffers and files, locating and reading the image header,
// validation of stored images, and the version routines.
#include "image/stkimage.h"

#include <cstring>

#include "board/identity.h"
#include "image/image_io.h"
#include "image/image_names.h"
#include "osapi/status_codes.h"
#include "platform/platform.h"

using stk::getBe32;

uint16_t bspapiCalcCrc(const void* buffer, uint32_t length) {
    GenCrcTable();
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint16_t crc = 0;
    // The sliced routine gives the table method's result; the loop only sets
    // where the processor is given up.
    for (uint32_t done = 0; done < length;) {
        if (!plat::intContext()) plat::taskDelay(0);
        uint32_t chunk = length - done < kCrcYieldBytes ? length - done : kCrcYieldBytes;
        crc = stk::stkCrc16(bytes + done, chunk, crc);
        done += chunk;
    }
    return crc;
}

int crcBufferCheck(uint16_t expected, const void* buffer, uint16_t length, int algorithm) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint16_t crc = 0;
    if (algorithm == 0) {
        GenCrcTable();
        for (uint16_t i = 0; i < length; ++i) UpdateCRC(bytes[i], &crc);
    } else {
        GenCrcCCITTable();
        for (uint16_t i = 0; i < length; ++i) UpdateCRCITT(bytes[i], &crc);
    }
    return crc == expected ? 0 : 2;
}

int bspapiCheckCfDCRC(uint16_t expected, const void* buffer, uint16_t length) {
    return crcBufferCheck(expected, buffer, length, 0);
}

int bspapiCheckCfDCRCITT(uint16_t expected, const void* buffer, uint16_t length) {
    return crcBufferCheck(expected, buffer, length, 1);
}

uint16_t file_crc_compute(const char* fileName, uint32_t length) {
    GenCrcTable();
    int fd = plat::open(fileName, plat::kOpenRead);
    if (fd < 0) return 0;
    uint8_t block[kCrcFileBlock];
    uint16_t crc = 0;
    uint64_t position = static_cast<uint64_t>(plat::read(fd, block, 2) == 2 ? 2 : 0);
    for (unsigned blockNo = 0; position < length; ++blockNo) {
        // Long checks on the slow disk give the other tasks a chance.
        if (blockNo % kCrcPauseBlocks == 0) plat::sleep(1);
        long got = plat::read(fd, block, sizeof block);
        if (got < 0) {
            plat::printf("Read error\n");
            break;
        }
        uint64_t use = static_cast<uint64_t>(got);
        if (use > length - position) use = length - position;
        crc = stk::stkCrc16(block, static_cast<size_t>(use), crc);
        position += use;
        if (static_cast<size_t>(got) < sizeof block) break;
    }
    plat::close(fd);
    return crc;
}

namespace {

// Header fields that are text end inside their field.
void terminateTextFields(OprHeader* header) {
    header->timestamp[stk::kOprTimestampSize - 1] = '\0';
    header->file[stk::kOprFileSize - 1] = '\0';
}

// Reads the image records that follow the fixed 88 bytes (the file position
// is right after them), never more than the 368-byte header limit. Returns
// the number of whole records decoded into fileHeader.
int readStkRecords(int fd, const uint8_t* first88, StkFileHeader& fileHeader) {
    uint8_t header[stk::kStkMaxHeaderLength] = {};
    std::memcpy(header, first88, stk::kStkFileHeaderFixedSize);
    uint32_t headerLength = getBe32(first88 + 20);
    if (headerLength > stk::kStkMaxHeaderLength) headerLength = stk::kStkMaxHeaderLength;
    size_t usable = stk::kStkFileHeaderFixedSize;
    if (headerLength > usable) {
        long got = imageio::readFully(fd, header + usable, headerLength - usable);
        if (got > 0) usable += static_cast<size_t>(got);
    }
    return stk::decodeStkFileHeader(header, usable, fileHeader);
}

// Picks the first record for this board. Returns 0 and the image base, or 1.
int locateImageForBoard(int fd, const uint8_t* first88, uint32_t* base) {
    if (getBe32(first88 + 8) == 0) {
        plat::printf(" Empty STK file \n");
        return 1;
    }
    // A longer header is outside the format (validation refuses it too).
    if (getBe32(first88 + 20) > stk::kStkMaxHeaderLength) return 1;
    StkFileHeader fileHeader;
    int records = readStkRecords(fd, first88, fileHeader);
    for (int i = 0; i < records; ++i) {
        if (fileHeader.records[i].targetDevice == kTargetDevice) {
            *base = fileHeader.records[i].imageOffset;
            return 0;
        }
    }
    return 1;
}

int readHeaderAt(int fd, const char* fileName, OprHeader* header) {
    uint8_t first[stk::kStkFileHeaderFixedSize] = {};
    if (imageio::readFully(fd, first, sizeof first) < static_cast<long>(sizeof first)) {
        plat::printf("Incomplete file %s\n", fileName);
        return 1;
    }
    uint32_t base = 0;
    if (stk::hasStkFileHeader(first, sizeof first) && locateImageForBoard(fd, first, &base) != 0)
        return 1;
    uint8_t bytes[stk::kOprHeaderSize] = {};
    long got = -1;
    if (plat::lseek(fd, static_cast<long>(base), 0) == static_cast<long>(base))
        got = imageio::readFully(fd, bytes, sizeof bytes);
    // What was read is kept even when it is not enough.
    stk::decodeOprHeader(bytes, *header);
    if (got < static_cast<long>(sizeof bytes)) return 1;
    if (header->numComponents > stk::kOprComponentCount) return 1;
    for (uint32_t i = 0; i < header->numComponents; ++i) header->components[i].offset += base;
    return 0;
}

}  // namespace

int bspapiOprHeaderRead(const char* fileName, OprHeader* header) {
    *header = OprHeader{};
    int fd = plat::open(fileName, plat::kOpenReadWrite);
    if (fd < 0) {
        plat::printf("Error opening the image file %s \n", fileName);
        return kBspNotFound;
    }
    int rc = readHeaderAt(fd, fileName, header);
    plat::close(fd);
    terminateTextFields(header);
    return rc;
}

namespace {

// The STK file header checks; 0 or a validation code. May cut off a short
// tail left after the total length.
int validateStkFileHeader(int fd, const char* fileName, const uint8_t* first88) {
    plat::Stat st;
    if (plat::fstat(fd, &st) != 0) return kValidateNoStatus;
    uint32_t totalLength = getBe32(first88 + 12);
    if (st.size < totalLength) return kValidateTooShort;
    uint64_t excess = st.size - totalLength;
    if (excess >= 1 && excess <= 1023) {
        // A short tail (a transfer's padding) is dropped; the descriptor is
        // read-only, so the cut goes through a writable one.
        int wfd = plat::open(fileName, plat::kOpenWrite);
        if (wfd >= 0) {
            plat::ftruncate(wfd, static_cast<long>(totalLength));
            plat::close(wfd);
        }
    }
    uint32_t recordCount = getBe32(first88 + 8);
    uint32_t headerLength = getBe32(first88 + 20);
    if (recordCount > stk::kStkMaxRecords || headerLength > stk::kStkMaxHeaderLength)
        return kValidateBadHeader;
    if (recordCount == 0) return kValidateNoRecords;
    StkFileHeader fileHeader;
    int records = readStkRecords(fd, first88, fileHeader);
    for (int i = 0; i < records; ++i) {
        if (fileHeader.records[i].targetDevice == kTargetDevice &&
            fileHeader.records[i].recordFlag == 1)
            return kValidateOk;
    }
    return kValidateNoImageForBoard;
}

}  // namespace

int bspapiValidateImage(const char* fileName, int checkCrc) {
    int fd = plat::open(fileName, plat::kOpenRead);
    if (fd < 0) return kValidateCannotOpen;
    uint8_t first[stk::kStkFileHeaderFixedSize] = {};
    if (imageio::readFully(fd, first, sizeof first) < static_cast<long>(sizeof first)) {
        plat::close(fd);
        return kValidateShortOrBadCrc;
    }
    bool stkHeader = stk::hasStkFileHeader(first, sizeof first);
    if (stkHeader) {
        int rc = validateStkFileHeader(fd, fileName, first);
        if (rc != kValidateOk) {
            plat::close(fd);
            return rc;
        }
    }
    plat::close(fd);
    if (bspapiValidateImageVersion(fileName) != 1) return kValidateBadVersion;
    if (checkCrc != 1) return kValidateOk;

    stk::FileCrcSpan span;
    if (stkHeader) {
        stk::fileCrcSpan(first, sizeof first, span);
    } else {
        // Size is taken afresh from the file as it is now.
        fd = plat::open(fileName, plat::kOpenRead);
        if (fd < 0) return kValidateCannotReopen;
        uint8_t again[stk::kFileCrcPrefix] = {};
        long got = imageio::readFully(fd, again, sizeof again);
        plat::close(fd);
        if (!stk::fileCrcSpan(again, static_cast<size_t>(got < 0 ? 0 : got), span))
            return kValidateShortOrBadCrc;
    }
    if (file_crc_compute(fileName, span.length) != span.storedCrc) return kValidateShortOrBadCrc;
    return kValidateOk;
}

int bspapiImageVersionGet(const char* fileName, ImageVersion* version) {
    if (fileName == nullptr || version == nullptr) return 1;
    int fd = plat::open(fileName, plat::kOpenRead);
    if (fd < 0) return 1;
    // A short file leaves the missing bytes zero.
    uint8_t bytes[stk::kOprHeaderSize] = {};
    imageio::readFully(fd, bytes, sizeof bytes);
    plat::close(fd);
    const uint8_t* v =
        stk::hasStkFileHeader(bytes, sizeof bytes) ? bytes + 16 : bytes + stk::kOprVpdOffset;
    version->valid = 1;
    version->rel = v[0];
    version->ver = v[1];
    version->maint_lvl = v[2];
    version->build_num = v[3];
    return 0;
}

namespace {
uint32_t versionWord(const ImageVersion* v) {
    return (static_cast<uint32_t>(v->rel) << 24) | (static_cast<uint32_t>(v->ver) << 16) |
           (static_cast<uint32_t>(v->maint_lvl) << 8) | v->build_num;
}
}  // namespace

int bspapiImageVersionGreaterCheck(const ImageVersion* a, const ImageVersion* b) {
    return versionWord(a) > versionWord(b) ? 1 : 0;
}

int bspapiImageVersionEqualIs(const ImageVersion* a, const ImageVersion* b) {
    return versionWord(a) == versionWord(b) ? 1 : 0;
}

int bspapiValidateImageVersion(const char*) {
    return 1;
}

uint32_t bspapiCpuGetLowestImageVersion() {
    return 0;
}
