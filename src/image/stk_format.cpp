// Codec of the STK image file format and the two 16-bit CRCs.
#include "image/stk_format.h"

#include <array>
#include <cstring>

#include "platform/services.h"

namespace stk {

uint16_t sharedCrcTable[256];
STK_RESET_HOOK {
    std::memset(sharedCrcTable, 0, sizeof sharedCrcTable);
}

uint16_t getBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t getBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void decodeOprComponent(const uint8_t* b, OprComponent& out) {
    out.crc = getBe16(b + 0);
    out.reserved0 = getBe16(b + 2);
    out.reserved1 = getBe32(b + 4);
    out.version = getBe32(b + 8);
    out.size = getBe32(b + 12);
    out.offset = getBe32(b + 16);
    out.loadAddress = getBe32(b + 20);
    out.compressionFlag = getBe32(b + 24);
    out.flashFlag = getBe32(b + 28);
    std::memcpy(out.reserved2, b + 32, sizeof out.reserved2);
}

void encodeOprComponent(const OprComponent& in, uint8_t* b) {
    putBe16(b + 0, in.crc);
    putBe16(b + 2, in.reserved0);
    putBe32(b + 4, in.reserved1);
    putBe32(b + 8, in.version);
    putBe32(b + 12, in.size);
    putBe32(b + 16, in.offset);
    putBe32(b + 20, in.loadAddress);
    putBe32(b + 24, in.compressionFlag);
    putBe32(b + 28, in.flashFlag);
    std::memcpy(b + 32, in.reserved2, sizeof in.reserved2);
}

void decodeOprHeader(const uint8_t* b, OprHeader& out) {
    out.crc = getBe16(b + 0);
    out.reserved0 = getBe16(b + 2);
    out.targetDevice = getBe32(b + 4);
    out.size = getBe32(b + 8);
    out.numComponents = getBe32(b + 12);
    for (size_t i = 0; i < kOprComponentCount; ++i)
        decodeOprComponent(b + kOprComponentsOffset + kOprComponentSize * i, out.components[i]);
    std::memcpy(out.reserved1, b + 496, sizeof out.reserved1);
    out.rel = b[784];
    out.ver = b[785];
    out.maint_lvl = b[786];
    out.build_num = b[787];
    std::memcpy(out.timestamp, b + kOprTimestampOffset, kOprTimestampSize);
    std::memcpy(out.file, b + kOprFileOffset, kOprFileSize);
    std::memcpy(out.reserved2, b + kOprVpdEnd, sizeof out.reserved2);
}

void encodeOprHeader(const OprHeader& in, uint8_t* b) {
    putBe16(b + 0, in.crc);
    putBe16(b + 2, in.reserved0);
    putBe32(b + 4, in.targetDevice);
    putBe32(b + 8, in.size);
    putBe32(b + 12, in.numComponents);
    for (size_t i = 0; i < kOprComponentCount; ++i)
        encodeOprComponent(in.components[i], b + kOprComponentsOffset + kOprComponentSize * i);
    std::memcpy(b + 496, in.reserved1, sizeof in.reserved1);
    b[784] = in.rel;
    b[785] = in.ver;
    b[786] = in.maint_lvl;
    b[787] = in.build_num;
    std::memcpy(b + kOprTimestampOffset, in.timestamp, kOprTimestampSize);
    std::memcpy(b + kOprFileOffset, in.file, kOprFileSize);
    std::memcpy(b + kOprVpdEnd, in.reserved2, sizeof in.reserved2);
}

void decodeStkImageRecord(const uint8_t* b, StkImageRecord& out) {
    out.imageOffset = getBe32(b + 0);
    out.targetDevice = getBe32(b + 4);
    out.recordFlag = getBe32(b + 8);
    std::memcpy(out.reserved, b + 12, sizeof out.reserved);
}

void encodeStkImageRecord(const StkImageRecord& in, uint8_t* b) {
    putBe32(b + 0, in.imageOffset);
    putBe32(b + 4, in.targetDevice);
    putBe32(b + 8, in.recordFlag);
    std::memcpy(b + 12, in.reserved, sizeof in.reserved);
}

int decodeStkFileHeader(const uint8_t* b, size_t length, StkFileHeader& out) {
    out = StkFileHeader{};
    if (length < kStkFileHeaderFixedSize) return -1;
    out.crc = getBe16(b + 0);
    out.marker = getBe16(b + 2);
    out.magic = getBe32(b + 4);
    out.recordCount = getBe32(b + 8);
    out.totalLength = getBe32(b + 12);
    out.rel = b[16];
    out.ver = b[17];
    out.maint_lvl = b[18];
    out.build_num = b[19];
    out.headerLength = getBe32(b + 20);
    std::memcpy(out.reserved, b + 24, sizeof out.reserved);
    size_t wanted = out.recordCount < kStkMaxRecords ? out.recordCount : kStkMaxRecords;
    size_t available = (length - kStkFileHeaderFixedSize) / kStkImageRecordSize;
    size_t n = wanted < available ? wanted : available;
    for (size_t i = 0; i < n; ++i)
        decodeStkImageRecord(b + kStkFileHeaderFixedSize + kStkImageRecordSize * i, out.records[i]);
    return static_cast<int>(n);
}

size_t encodeStkFileHeader(const StkFileHeader& in, uint8_t* b, size_t capacity) {
    size_t n = in.recordCount < kStkMaxRecords ? in.recordCount : kStkMaxRecords;
    size_t total = kStkFileHeaderFixedSize + kStkImageRecordSize * n;
    if (capacity < total) return 0;
    putBe16(b + 0, in.crc);
    putBe16(b + 2, in.marker);
    putBe32(b + 4, in.magic);
    putBe32(b + 8, in.recordCount);
    putBe32(b + 12, in.totalLength);
    b[16] = in.rel;
    b[17] = in.ver;
    b[18] = in.maint_lvl;
    b[19] = in.build_num;
    putBe32(b + 20, in.headerLength);
    std::memcpy(b + 24, in.reserved, sizeof in.reserved);
    for (size_t i = 0; i < n; ++i)
        encodeStkImageRecord(in.records[i], b + kStkFileHeaderFixedSize + kStkImageRecordSize * i);
    return total;
}

bool hasStkFileHeader(const uint8_t* b, size_t length) {
    return length >= 8 && getBe16(b + 2) == kStkMarker && getBe32(b + 4) == kStkMagic;
}

bool fileCrcSpan(const uint8_t* b, size_t length, FileCrcSpan& out) {
    if (length < kFileCrcPrefix) return false;
    out.storedCrc = getBe16(b);
    out.stkFileHeader = hasStkFileHeader(b, length);
    out.length = out.stkFileHeader ? getBe32(b + 12) : getBe32(b + 8);
    return true;
}

uint16_t stkCrcTableEntry(uint8_t index) {
    uint16_t r = 0;
    unsigned d = index;
    for (int bit = 0; bit < 8; ++bit) {
        bool rTop = (r & 0x8000) != 0;
        bool dTop = (d & 0x80) != 0;
        r = static_cast<uint16_t>(rTop == dTop ? r << 1 : (r << 1) ^ kStkCrcPoly);
        d <<= 1;
    }
    return r;
}

uint16_t kermitTableEntry(uint8_t index) {
    uint16_t r = 0;
    unsigned d = index;
    for (int bit = 0; bit < 8; ++bit) {
        r = static_cast<uint16_t>(((r ^ d) & 1) ? (r >> 1) ^ kKermitPoly : r >> 1);
        d >>= 1;
    }
    return r;
}

namespace {

// slice[k][b] = b * x^(16 + 8k) mod P: lets eight data bytes and the register
// be folded in one step. slice[0] is the ordinary table.
struct StkSlices {
    std::array<std::array<uint16_t, 256>, 8> slice{};
    StkSlices() {
        for (unsigned i = 0; i < 256; ++i) slice[0][i] = stkCrcTableEntry(static_cast<uint8_t>(i));
        for (size_t k = 1; k < 8; ++k)
            for (unsigned i = 0; i < 256; ++i) {
                uint16_t prev = slice[k - 1][i];
                slice[k][i] = static_cast<uint16_t>((prev << 8) ^ slice[0][prev >> 8]);
            }
    }
};

const StkSlices& stkSlices() {
    static const StkSlices slices;
    return slices;
}

struct KermitTable {
    std::array<uint16_t, 256> t{};
    KermitTable() {
        for (unsigned i = 0; i < 256; ++i) t[i] = kermitTableEntry(static_cast<uint8_t>(i));
    }
};

}  // namespace

uint16_t stkCrc16Bytewise(const uint8_t* data, size_t length, uint16_t crc) {
    const auto& t = stkSlices().slice[0];
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>(((crc << 8) & 0xFF00) ^ t[crc >> 8] ^ data[i]);
    return crc;
}

uint16_t stkCrc16(const uint8_t* data, size_t length, uint16_t crc) {
    uint16_t folded = 0;
    if (detail::stkCrc16Folded(data, length, crc, &folded)) return folded;
    return detail::stkCrc16Sliced(data, length, crc);
}

uint16_t detail::stkCrc16Sliced(const uint8_t* data, size_t length, uint16_t crc) {
    const auto& s = stkSlices().slice;
    // The register holds (message mod P); eight more bytes D give
    // (r * x^64 + D) mod P. The last two bytes of D are below x^16 and enter
    // as they are.
    while (length >= 8) {
        crc = static_cast<uint16_t>(s[7][crc >> 8] ^ s[6][crc & 0xFF] ^ s[5][data[0]] ^
                                    s[4][data[1]] ^ s[3][data[2]] ^ s[2][data[3]] ^ s[1][data[4]] ^
                                    s[0][data[5]] ^ (data[6] << 8) ^ data[7]);
        data += 8;
        length -= 8;
    }
    return stkCrc16Bytewise(data, length, crc);
}

uint16_t kermitCrc16(const uint8_t* data, size_t length, uint16_t crc) {
    static const KermitTable table;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>(table.t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

bool fileCrcCheck(const uint8_t* file, size_t length, uint16_t* computed) {
    FileCrcSpan span;
    if (!fileCrcSpan(file, length, span) || span.length > length || span.length < 2) return false;
    uint16_t crc = stkCrc16(file + 2, span.length - 2);
    if (computed) *computed = crc;
    return crc == span.storedCrc;
}

void fileCrcStore(uint8_t* file, size_t length) {
    if (length < 2) return;
    putBe16(file, stkCrc16(file + 2, length - 2));
}

}  // namespace stk

void GenCrcTable() {
    for (unsigned i = 0; i < 256; ++i)
        stk::sharedCrcTable[i] = stk::stkCrcTableEntry(static_cast<uint8_t>(i));
}

void UpdateCRC(uint8_t byte, uint16_t* crc) {
    *crc = static_cast<uint16_t>(((*crc << 8) & 0xFF00) ^ stk::sharedCrcTable[*crc >> 8] ^ byte);
}

void GenCrcCCITTable() {
    for (unsigned i = 0; i < 256; ++i)
        stk::sharedCrcTable[i] = stk::kermitTableEntry(static_cast<uint8_t>(i));
}

void UpdateCRCITT(uint8_t byte, uint16_t* crc) {
    *crc = static_cast<uint16_t>(stk::sharedCrcTable[(*crc ^ byte) & 0xFF] ^ (*crc >> 8));
}
