// The image store's routines driven with crafted files: the CRCs, header
// location, validation codes and the active image's file CRC in one table, the
// codec and display against a checked-in golden file, and the board
// API's names for the images.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "bspapi/bspapi.h"
#include "image/dim.h"
#include "image/stkimage.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using namespace stktest;

constexpr uint32_t kBoard = 0x00508541;
const std::string kGolden = STK_SOURCE_DIR "/tests/image/golden.stk";
const char kTexts[] = "image/image_texts.txt";  // console texts

const uint8_t* u8(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}
std::string flipLast(std::string s) {
    s.back() ^= 1;
    return s;
}

using ImageStore = stktest::BoardTest;

TEST(StkCrc, CheckValuesAndFastEqualsBytewiseAtEveryLengthAndAlignment) {
    // The published check values of the STK CRC-16 and of CRC-16/KERMIT; each
    // routine builds the shared table for its own algorithm.
    EXPECT_EQ(bspapiCheckCfDCRCITT(0x2189, "123456789", 9), 0);
    EXPECT_EQ(bspapiCheckCfDCRC(0x20FF, "abc", 3), 2);  // "abc" gives 0x20FE
    uint16_t shared = 0;
    GenCrcTable();
    for (uint8_t b : std::string("abc")) UpdateCRC(b, &shared);
    EXPECT_EQ(shared, 0x20FE);
    EXPECT_EQ(bspapiCalcCrc("abc", 3), 0x20FE);
    EXPECT_EQ(bspapiCalcCrc("abc", 0), 0);
    std::mt19937 rng(99);
    const std::string buffer = stktest::randomBytes(70100, 99);
    for (size_t align = 0; align < 8; ++align) {
        const uint8_t* p = u8(buffer) + align;
        // Short lengths take the sliced path, longer ones the folded path.
        for (size_t len = 0; len <= 600; ++len) {
            uint16_t seed = len % 2 ? uint16_t(rng()) : 0;
            ASSERT_EQ(stk::stkCrc16(p, len, seed), stk::stkCrc16Bytewise(p, len, seed)) << len;
        }
        for (size_t len : {4093u, 4096u, 65536u, 69999u})
            EXPECT_EQ(stk::stkCrc16(p, len), stk::stkCrc16Bytewise(p, len));
    }
}

TEST_F(ImageStore, FileCrcCoversBytesTwoToTheLengthPausingPerThousandBlocks) {
    const std::string big = stktest::randomBytes(4096 * 1001 + 2, 5);
    tb.writeFile("f", big);
    for (uint32_t length : {4098u, 5000u, uint32_t(big.size()), 1u << 30}) {
        uint64_t start = plat::nowUs();
        EXPECT_EQ(file_crc_compute("f", length),
                  stk::stkCrc16Bytewise(u8(big) + 2, std::min<size_t>(length, big.size()) - 2));
        EXPECT_EQ(plat::nowUs() - start, length > 4096 * 1000 ? 2000000u : 1000000u) << length;
    }
    ASSERT_EQ(plat::mkdir("folder"), 0);  // opens, but cannot be read
    EXPECT_EQ(file_crc_compute("missing", 100), 0);
    EXPECT_EQ(file_crc_compute("folder", 100), 0);
    EXPECT_EQ(con().output(), "Read error\n");
}

// Each crafted file as the active image: its validation code, the result of
// reading its header, and of checking the active image's file CRC.
TEST_F(ImageStore, ValidationHeaderReadAndFileCrcOfCraftedFiles) {
    const std::string plain = makeImage(), stk = makeStkFile({}, {0x00508542, kBoard});
    std::string marked = plain + "tail";  // a marker without the magic: the length is Size
    marked.replace(2, 2, "\xAA\x55");
    restoreCrc(marked, plain.size());
    std::string texts = plain;  // Timestamp and File without their NULs
    texts.replace(788, 288, 288, 'T');
    auto ofLength = [](uint32_t n, uint32_t stated) {
        return patched(std::string(n, 'Z'), 8, stated, stated);
    };
    struct Case {
        std::string bytes;
        int validation, headerRead, activeCrc;
        const char* message = "";
    } cases[] = {
        {plain, kValidateOk, 0, 0},
        {std::string(87, 'a'), kValidateShortOrBadCrc, 1, 1, "Incomplete file image1\n"},
        {flipLast(plain), kValidateShortOrBadCrc, 0, 1},
        {plain.substr(0, 1219), kValidateShortOrBadCrc, 1, 1},
        {marked, kValidateOk, 0, 0},
        {patched(texts, 12, 10), kValidateOk, 0, 0},
        {patched(texts, 12, 11), kValidateOk, 1, 0},
        {stk, kValidateOk, 0, 0},
        {stk.substr(0, stk.size() - 1), kValidateTooShort, 0, 1},
        {patched(stk, 20, 369), kValidateBadHeader, 1, 0},
        {patched(stk, 8, 0), kValidateNoRecords, 1, 0, " Empty STK file \n"},
        // The first record for the board counts for the header, a flagged one for validation.
        {patched(stk, 88 + 28 + 8, 0), kValidateNoImageForBoard, 0, 0},
        {makeStkFile({}, {0x00508542}), kValidateNoImageForBoard, 1, 0},
        {patched(makeStkFile({}, {kBoard, kBoard}), 88 + 8, 0), kValidateOk, 0, 0},
        // A record that points past the end of the file.
        {patched(stk, 88 + 28, uint32_t(stk.size()) - 100), kValidateOk, 1, 0},
        {stk + std::string(1024, 'z'), kValidateOk, 0, 0},
        {ofLength(0x1000000, 0x1000000), kValidateOk, 1, 0},
        {ofLength(1229, 1219), kValidateOk, 1, 1},
        {ofLength(0x1000001, 0x1000001), kValidateOk, 1, 1},
        // A short tail after the total length is cut.
        {stk + std::string(128, '\x1a'), kValidateOk, 0, 0},
    };
    tb.writeFile("image1", plain);
    dimInitialize();
    OprHeader h;
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        tb.writeFile("image1", c.bytes);
        EXPECT_EQ(bspapiOprHeaderRead("image1", &h), c.headerRead);
        EXPECT_EQ(h.timestamp[31], '\0');
        EXPECT_EQ(h.file[255], '\0');
        EXPECT_EQ(check_oprcrc_in_flash(), c.activeCrc);
        EXPECT_EQ(con().takeOutput(), c.message);
        EXPECT_EQ(bspapiValidateImage("image1", 1), c.validation);
        EXPECT_EQ(tb.readFile("image1"), &c == std::end(cases) - 1 ? stk : c.bytes);
    }
    // Offsets become file positions minus the header size.
    EXPECT_EQ(h.components[0].offset, be32(stk, 88 + 28) + be32(stk, be32(stk, 88 + 28) + 32));
    // Without the flag the CRC is not looked at.
    tb.writeFile("image1", flipLast(plain));
    EXPECT_EQ(bspapiValidateImage("image1", 0), kValidateOk);
    EXPECT_EQ(bspapiValidateImage("image1", 2), kValidateOk);
    EXPECT_EQ(bspapiValidateImage("missing", 1), kValidateCannotOpen);
    EXPECT_EQ(bspapiOprHeaderRead("missing", &h), kBspNotFound);
    plat::remove("image1");
    EXPECT_EQ(check_oprcrc_in_flash(), 1);
    EXPECT_TRUE(matchesGolden(con().takeOutput(), kTexts, "MissingImages"));
}

TEST_F(ImageStore, GoldenFileDecodesEncodesBackAndIsDisplayed) {
    const std::string golden = stktest::readHostFile(kGolden);
    StkFileHeader fh;
    ASSERT_EQ(stk::decodeStkFileHeader(u8(golden), golden.size(), fh), 2);
    std::string again(stk::kOprHeaderSize, '\0');
    OprHeader h;
    stk::decodeOprHeader(u8(golden) + fh.records[1].imageOffset, h);
    EXPECT_EQ(h.components[0].loadAddress, 0x00200000u);
    stk::encodeOprHeader(h, reinterpret_cast<uint8_t*>(again.data()));
    EXPECT_EQ(again, golden.substr(fh.records[1].imageOffset, stk::kOprHeaderSize));
    // The display shows the header of the image for this board, offsets within the file.
    tb.writeFile("image1", golden);
    dimInitialize();
    print_vpd_in_flash();
    EXPECT_EQ(con().takeOutput(),
              stktest::readHostFile(STK_SOURCE_DIR "/tests/image/golden.display"));
    // A numeric release, a build number, gzip, no boot code section.
    tb.writeFile("image1", makeImage());
    print_vpd_in_flash();
    tb.writeFile("image1", "tiny");
    print_vpd_in_flash();
    EXPECT_TRUE(matchesGolden(con().takeOutput(), kTexts, "PlainImageThenATinyFileDisplayed"));
}

std::string resolved(const char* name) {
    char buffer[40] = "?";
    return std::to_string(bspapiImageFileNameResolve(name, buffer)) + buffer + " ";
}

TEST_F(ImageStore, BoardApiResolvesRolesThroughTheActiveImageAndDumpsItsInformation) {
    EXPECT_EQ(resolved("active"), "1image1 ");
    EXPECT_EQ(resolved("backup"), "1image1 ");
    EXPECT_EQ(resolved("xcode.bin"), "0xcode.bin ");
    // Only "image2", active: "backup" is the other file though no slot has it.
    tb.writeFile("image2", makeImage());
    dimInitialize();
    EXPECT_EQ(resolved("active"), "1image2 ");
    EXPECT_EQ(resolved("backup"), "1image1 ");
    EXPECT_EQ(bspapiImageExists("active"), 1);
    EXPECT_EQ(bspapiImageExists("backup"), 0);
    tb.writeFile("image1", makeImage());  // a good image, but not listed: no boot code update
    EXPECT_EQ(bspapiImageActivate("image1", 1), kBspNotFound);
    plat::remove("image1");
    EXPECT_EQ(bspapiConsoleFdSet(9), 0);
    EXPECT_EQ(bspapiConsoleFdGet(), 9);
    plat::resetProcessState();
    EXPECT_EQ(bspapiConsoleFdGet(), 0);
    EXPECT_EQ(bspapiDebugRegisteredSysInfoDump(), 0);
    EXPECT_TRUE(matchesGolden(con().takeOutput(), kTexts, "SysInfoDumpWithoutAnImage"));
}

}  // namespace
