// Codec and CRC tests, checked against independently computed references.
#include "image/stk_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace stk;

// CRC-16/TELEDISK by the bit-at-a-time definition: poly 0xA097, init 0,
// no reflection, no final xor.
uint16_t teledisk(const std::vector<uint8_t>& data) {
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0xA097 : crc << 1);
    }
    return crc;
}

// CRC-16/KERMIT by the bit-at-a-time definition.
uint16_t kermitBitwise(const uint8_t* data, size_t n) {
    uint16_t crc = 0;
    for (size_t k = 0; k < n; ++k) {
        crc ^= data[k];
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>(crc & 1 ? (crc >> 1) ^ 0x8408 : crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

uint16_t sharedStk(const std::vector<uint8_t>& data) {
    GenCrcTable();
    uint16_t crc = 0;
    for (uint8_t b : data) UpdateCRC(b, &crc);
    return crc;
}

TEST(StkCrc, CheckValuesFromReferences) {
    auto abc = bytesOf("abc");
    EXPECT_EQ(stkCrc16(abc.data(), abc.size()), 0x20FE);
    EXPECT_EQ(stkCrc16Bytewise(abc.data(), abc.size()), 0x20FE);
    EXPECT_EQ(sharedStk(abc), 0x20FE);
    // The register lags two bytes behind the plain CRC: the STK CRC of the
    // data with two zero bytes appended is the TELEDISK CRC of the data.
    EXPECT_EQ(teledisk(abc), 0x8089);
    auto padded = abc;
    padded.insert(padded.end(), {0, 0});
    EXPECT_EQ(stkCrc16(padded.data(), padded.size()), 0x8089);
    // The published TELEDISK check value confirms the reference itself.
    EXPECT_EQ(teledisk(bytesOf("123456789")), 0x0FB3);
    EXPECT_EQ(stkCrc16(nullptr, 0), 0);

    auto digits = bytesOf("123456789");
    EXPECT_EQ(kermitCrc16(digits.data(), digits.size()), 0x2189);
    GenCrcCCITTable();
    uint16_t crc = 0;
    for (uint8_t b : digits) UpdateCRCITT(b, &crc);
    EXPECT_EQ(crc, 0x2189);
}

TEST(StkCrc, WithTwoZeroBytesEqualsTelediskOnRandomData) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> data(rng() % 300);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        auto padded = data;
        padded.insert(padded.end(), {0, 0});
        uint16_t expected = teledisk(data);
        EXPECT_EQ(stkCrc16(padded.data(), padded.size()), expected);
        EXPECT_EQ(sharedStk(padded), expected);
        // Without the padding it is the remainder of the data alone.
        EXPECT_EQ(sharedStk(data), stkCrc16Bytewise(data.data(), data.size()));
        EXPECT_EQ(kermitCrc16(data.data(), data.size()), kermitBitwise(data.data(), data.size()));
    }
}

TEST(StkCrc, TableMatchesPolynomialDefinition) {
    for (unsigned i = 0; i < 256; ++i) {
        // Entry i is i * x^16 mod P: teledisk of the single byte i.
        EXPECT_EQ(stkCrcTableEntry(static_cast<uint8_t>(i)), teledisk({static_cast<uint8_t>(i)}));
    }
    EXPECT_EQ(stkCrcTableEntry(1), 0xA097);
    EXPECT_EQ(kermitTableEntry(128), 0x8408);
}

TEST(StkCrc, FastMethodsEqualTheTableMethodForAllLengthsAndAlignments) {
    std::mt19937 rng(99);
    std::vector<uint8_t> buffer(64 + 16 + 70000);
    for (auto& b : buffer) b = static_cast<uint8_t>(rng());
    for (size_t align = 0; align < 8; ++align) {
        const uint8_t* p = buffer.data() + align;
        // Short lengths take the sliced path, longer ones the folded path.
        for (size_t len = 0; len <= 600; ++len) {
            uint16_t seed = len % 2 ? static_cast<uint16_t>(rng()) : 0;
            uint16_t expected = stkCrc16Bytewise(p, len, seed);
            ASSERT_EQ(stkCrc16(p, len, seed), expected) << align << " " << len;
            ASSERT_EQ(detail::stkCrc16Sliced(p, len, seed), expected) << align << " " << len;
        }
        for (size_t len : {4093u, 4096u, 65536u, 69999u}) {
            EXPECT_EQ(stkCrc16(p + 1, len), stkCrc16Bytewise(p + 1, len));
        }
    }
    // Continuing from a register gives the CRC of the concatenation.
    uint16_t part = stkCrc16(buffer.data(), 1001);
    EXPECT_EQ(stkCrc16(buffer.data() + 1001, 2000, part), stkCrc16(buffer.data(), 3001));
}

TEST(StkCrc, RegisterShiftEqualsFeedingZeroBytes) {
    std::vector<uint8_t> zeros(5000, 0);
    for (uint16_t r : {0x0001, 0x8000, 0x1234, 0xFFFF}) {
        for (size_t n : {0u, 1u, 2u, 17u, 4999u})
            EXPECT_EQ(detail::stkCrc16Shift(r, n), stkCrc16Bytewise(zeros.data(), n, r));
    }
    EXPECT_EQ(detail::polyMulMod(0x8000, 2), 0xA097);  // x^16 mod P
}

TEST(StkFormat, OprHeaderFieldsAtTheirOffsets) {
    OprHeader h;
    h.crc = 0x1234;
    h.targetDevice = 0x00508541;
    h.size = 0x01020304;
    h.numComponents = 2;
    h.components[0].crc = 0xBEEF;
    h.components[0].size = 0x11223344;
    h.components[0].offset = 0x55;
    h.components[0].loadAddress = 0x10000;
    h.components[0].compressionFlag = 2;
    h.components[0].flashFlag = 7;
    h.components[1].crc = 0xCAFE;
    h.components[1].version = 9;
    h.components[1].size = 0x400;
    h.components[1].offset = 0x800;
    h.components[1].flashFlag = 3;
    h.rel = 'A';
    h.ver = 2;
    h.maint_lvl = 3;
    h.build_num = 4;
    std::strcpy(h.timestamp, "2010-12-12");
    std::strcpy(h.file, "op.bin");
    std::vector<uint8_t> b(kOprHeaderSize, 0xEE);
    encodeOprHeader(h, b.data());
    EXPECT_EQ(getBe16(&b[0]), 0x1234);
    EXPECT_EQ(b[4], 0x00);
    EXPECT_EQ(b[5], 0x50);
    EXPECT_EQ(b[7], 0x41);
    EXPECT_EQ(getBe32(&b[8]), 0x01020304u);
    EXPECT_EQ(b[8], 0x01);
    EXPECT_EQ(getBe32(&b[12]), 2u);
    EXPECT_EQ(getBe16(&b[16]), 0xBEEF);
    EXPECT_EQ(getBe32(&b[28]), 0x11223344u);
    EXPECT_EQ(getBe32(&b[32]), 0x55u);
    EXPECT_EQ(getBe32(&b[36]), 0x10000u);
    EXPECT_EQ(getBe32(&b[40]), 2u);
    EXPECT_EQ(getBe32(&b[44]), 7u);
    EXPECT_EQ(getBe16(&b[64]), 0xCAFE);
    EXPECT_EQ(getBe32(&b[72]), 9u);
    EXPECT_EQ(getBe32(&b[76]), 0x400u);
    EXPECT_EQ(getBe32(&b[80]), 0x800u);
    EXPECT_EQ(getBe32(&b[92]), 3u);
    EXPECT_EQ(b[784], 'A');
    EXPECT_EQ(b[787], 4);
    EXPECT_STREQ(reinterpret_cast<const char*>(&b[788]), "2010-12-12");
    EXPECT_STREQ(reinterpret_cast<const char*>(&b[820]), "op.bin");
    EXPECT_EQ(b[1219], 0);

    OprHeader back;
    decodeOprHeader(b.data(), back);
    std::vector<uint8_t> again(kOprHeaderSize);
    encodeOprHeader(back, again.data());
    EXPECT_EQ(again, b);
    EXPECT_EQ(back.components[1].version, 9u);
}

TEST(StkFormat, StkFileHeaderRoundTripAndPartialRecords) {
    StkFileHeader f;
    f.crc = 0x0102;
    f.marker = kStkMarker;
    f.magic = kStkMagic;
    f.recordCount = 2;
    f.totalLength = 5000;
    f.rel = 1;
    f.ver = 2;
    f.maint_lvl = 3;
    f.build_num = 4;
    f.headerLength = 88 + 2 * 28;
    f.records[0] = {144, 0x11111111, 1, {}};
    f.records[1] = {2000, 0x00508541, 1, {}};
    std::vector<uint8_t> b(kStkMaxHeaderLength, 0);
    ASSERT_EQ(encodeStkFileHeader(f, b.data(), b.size()), 144u);
    EXPECT_EQ(b[2], 0xAA);
    EXPECT_EQ(b[3], 0x55);
    EXPECT_EQ(getBe32(&b[4]), 0x2288BB66u);
    EXPECT_EQ(getBe32(&b[12]), 5000u);
    EXPECT_EQ(b[16], 1);
    EXPECT_EQ(getBe32(&b[20]), 144u);
    EXPECT_EQ(getBe32(&b[88 + 28]), 2000u);
    EXPECT_EQ(getBe32(&b[88 + 28 + 4]), 0x00508541u);
    EXPECT_TRUE(hasStkFileHeader(b.data(), 8));

    StkFileHeader back;
    EXPECT_EQ(decodeStkFileHeader(b.data(), 144, back), 2);
    EXPECT_EQ(back.records[1].imageOffset, 2000u);
    // Only whole records inside the given bytes are decoded.
    EXPECT_EQ(decodeStkFileHeader(b.data(), 143, back), 1);
    EXPECT_EQ(decodeStkFileHeader(b.data(), 87, back), -1);
    EXPECT_EQ(encodeStkFileHeader(f, b.data(), 143), 0u);
    // A huge record count never decodes more than ten records.
    putBe32(&b[8], 0xFFFFFFFF);
    EXPECT_EQ(decodeStkFileHeader(b.data(), b.size(), back), 10);
}

TEST(StkFormat, FileCrcRuleTakesLengthFromTheRightHeader) {
    std::vector<uint8_t> plain(1300, 0);
    for (size_t i = 2; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 7);
    // A marker without the magic is no STK file header.
    putBe16(&plain[2], kStkMarker);
    putBe32(&plain[4], 0x12345678);
    putBe32(&plain[8], 1250);
    FileCrcSpan span;
    ASSERT_TRUE(fileCrcSpan(plain.data(), plain.size(), span));
    EXPECT_FALSE(span.stkFileHeader);
    EXPECT_EQ(span.length, 1250u);
    putBe16(&plain[0], stkCrc16(&plain[2], 1248));
    EXPECT_TRUE(fileCrcCheck(plain.data(), plain.size()));
    plain[1249] ^= 1;
    EXPECT_FALSE(fileCrcCheck(plain.data(), plain.size()));
    plain[1249] ^= 1;
    plain[1250] ^= 1;  // beyond L: not covered
    EXPECT_TRUE(fileCrcCheck(plain.data(), plain.size()));

    putBe32(&plain[4], kStkMagic);
    putBe32(&plain[12], 1280);
    ASSERT_TRUE(fileCrcSpan(plain.data(), plain.size(), span));
    EXPECT_TRUE(span.stkFileHeader);
    EXPECT_EQ(span.length, 1280u);
    fileCrcStore(plain.data(), 1280);
    EXPECT_TRUE(fileCrcCheck(plain.data(), plain.size()));
    // L beyond the buffer is never read.
    putBe32(&plain[12], 1301);
    EXPECT_FALSE(fileCrcCheck(plain.data(), plain.size()));
    EXPECT_FALSE(fileCrcSpan(plain.data(), 15, span));
}

}  // namespace
