// CRC routines, header location, validation codes and the version routines,
// each driven with crafted files.
#include "image/stkimage.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "image/dim.h"
#include "image_test_util.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using imagetest::be32;
using imagetest::restoreCrc;
using imagetest::setBe32;
using stktest::makeImage;
using stktest::makeStkFile;

constexpr uint32_t kBoard = 0x00508541;
constexpr uint32_t kOther = 0x00508542;

class StkImage : public stktest::BoardTest {
  protected:
    std::string out() { return con().takeOutput(); }
};

uint16_t crcOf(const std::string& s, size_t from, size_t to) {
    return stk::stkCrc16Bytewise(reinterpret_cast<const uint8_t*>(s.data()) + from, to - from);
}

TEST_F(StkImage, BufferCrcsAndTheirChecks) {
    EXPECT_EQ(bspapiCalcCrc("abc", 3), 0x20FE);
    EXPECT_EQ(bspapiCalcCrc("abc", 0), 0);
    EXPECT_EQ(bspapiCheckCfDCRC(0x20FE, "abc", 3), 0);
    EXPECT_EQ(bspapiCheckCfDCRC(0x20FF, "abc", 3), 2);
    EXPECT_EQ(bspapiCheckCfDCRCITT(0x2189, "123456789", 9), 0);
    EXPECT_EQ(bspapiCheckCfDCRCITT(0x20FE, "abc", 3), 2);
    // Each routine rebuilds the shared table for its own algorithm.
    EXPECT_EQ(crcBufferCheck(0x20FE, "abc", 3, 0), 0);
    EXPECT_EQ(crcBufferCheck(0x2189, "123456789", 9, 1), 0);
    EXPECT_EQ(bspapiCalcCrc("abc", 3), 0x20FE);

    // Over more than one 64 KiB step the result is the plain table method's.
    std::string big(200000, '\0');
    std::mt19937 rng(5);
    for (auto& c : big) c = static_cast<char>(rng());
    EXPECT_EQ(bspapiCalcCrc(big.data(), static_cast<uint32_t>(big.size())),
              crcOf(big, 0, big.size()));
}

TEST_F(StkImage, FileCrcComputeCoversBytesTwoToLength) {
    std::string file(10000, '\0');
    std::mt19937 rng(7);
    for (auto& c : file) c = static_cast<char>(rng());
    tb.writeFile("f", file);
    EXPECT_EQ(file_crc_compute("f", 10000), crcOf(file, 2, 10000));
    EXPECT_EQ(file_crc_compute("f", 4098), crcOf(file, 2, 4098));
    EXPECT_EQ(file_crc_compute("f", 5000), crcOf(file, 2, 5000));
    // A length beyond the file stops at its end.
    EXPECT_EQ(file_crc_compute("f", 50000), crcOf(file, 2, 10000));
    EXPECT_EQ(file_crc_compute("missing", 100), 0);
    EXPECT_EQ(out(), "");
    // A folder opens but cannot be read.
    ASSERT_EQ(plat::mkdir("folder"), 0);
    EXPECT_EQ(file_crc_compute("folder", 100), 0);
    EXPECT_EQ(out(), "Read error\n");
    EXPECT_EQ(bspapiValidateImage("folder", 1), 3);
}

TEST_F(StkImage, FileCrcComputePausesOneSecondPerThousandBlocks) {
    std::string file(4096 * 1001 + 2, 'x');
    tb.writeFile("f", file);
    uint64_t start = plat::nowUs();
    EXPECT_EQ(file_crc_compute("f", 8194), crcOf(file, 2, 8194));
    EXPECT_EQ(plat::nowUs() - start, 1000000u);
    start = plat::nowUs();
    EXPECT_EQ(file_crc_compute("f", static_cast<uint32_t>(file.size())),
              crcOf(file, 2, file.size()));
    EXPECT_EQ(plat::nowUs() - start, 2000000u);
}

TEST_F(StkImage, HeaderReadOfAPlainImage) {
    stktest::ImageSpec spec;
    spec.bootCode = "BOOT";
    std::string image = makeImage(spec);
    tb.writeFile("image1", image);
    OprHeader h;
    ASSERT_EQ(bspapiOprHeaderRead("image1", &h), 0);
    EXPECT_EQ(h.targetDevice, kBoard);
    EXPECT_EQ(h.size, image.size());
    EXPECT_EQ(h.numComponents, 2u);
    EXPECT_EQ(h.components[1].offset, be32(image, 80));
    EXPECT_STREQ(h.file, "test.stk");
    EXPECT_EQ(out(), "");
}

TEST_F(StkImage, HeaderReadTakesTheFirstRecordForThisBoard) {
    const uint32_t targets[] = {kOther, kBoard, kBoard};
    std::string file = makeStkFile({}, targets, 3);
    // The first record for the board counts whatever its flag.
    setBe32(file, 88 + 28 + 8, 0);
    tb.writeFile("x", file);
    OprHeader h;
    ASSERT_EQ(bspapiOprHeaderRead("x", &h), 0);
    uint32_t base = be32(file, 88 + 28);
    EXPECT_EQ(h.targetDevice, kBoard);
    EXPECT_EQ(h.size, be32(file, base + 8));
    // Offsets become file positions minus the header size.
    EXPECT_EQ(h.components[0].offset, base + be32(file, base + 32));
    EXPECT_EQ(file.substr(h.components[0].offset + 1220, 2), file.substr(base + 1220, 2));
}

TEST_F(StkImage, HeaderReadFailures) {
    OprHeader h;
    EXPECT_EQ(bspapiOprHeaderRead("nothing", &h), 5);
    EXPECT_EQ(out(), "Error opening the image file nothing \n");

    tb.writeFile("short", std::string(87, 'a'));
    EXPECT_EQ(bspapiOprHeaderRead("short", &h), 1);
    EXPECT_EQ(out(), "Incomplete file short\n");

    std::string empty = makeStkFile({}, nullptr, 0);
    tb.writeFile("empty", empty + std::string(100, '\0'));
    EXPECT_EQ(bspapiOprHeaderRead("empty", &h), 1);
    EXPECT_EQ(out(), " Empty STK file \n");

    const uint32_t others[] = {kOther};
    tb.writeFile("foreign", makeStkFile({}, others, 1));
    EXPECT_EQ(bspapiOprHeaderRead("foreign", &h), 1);
    EXPECT_EQ(out(), "");

    // The record points past the end of the file.
    const uint32_t ours[] = {kBoard};
    std::string far = makeStkFile({}, ours, 1);
    setBe32(far, 88, static_cast<uint32_t>(far.size()) - 100);
    tb.writeFile("far", far);
    EXPECT_EQ(bspapiOprHeaderRead("far", &h), 1);

    // A header length beyond the format's limit is not read at all.
    std::string longHeader = makeStkFile({}, ours, 1);
    setBe32(longHeader, 20, 100000);
    tb.writeFile("long", longHeader);
    EXPECT_EQ(bspapiOprHeaderRead("long", &h), 1);

    // A plain header cut short.
    tb.writeFile("cut", makeImage().substr(0, 1219));
    EXPECT_EQ(bspapiOprHeaderRead("cut", &h), 1);
    EXPECT_EQ(h.targetDevice, kBoard);  // what was read stays
    EXPECT_EQ(out(), "");
}

TEST_F(StkImage, HeaderReadComponentLimitAndTextFields) {
    std::string image = makeImage();
    setBe32(image, 12, 10);
    for (size_t i = 788; i < 1076; ++i) image[i] = 'T';
    tb.writeFile("ten", image);
    OprHeader h;
    ASSERT_EQ(bspapiOprHeaderRead("ten", &h), 0);
    EXPECT_EQ(std::string(h.timestamp), std::string(31, 'T'));
    EXPECT_EQ(std::string(h.file), std::string(255, 'T'));
    setBe32(image, 12, 11);
    tb.writeFile("eleven", image);
    EXPECT_EQ(bspapiOprHeaderRead("eleven", &h), 1);
    EXPECT_EQ(h.timestamp[31], '\0');
    EXPECT_EQ(h.file[255], '\0');
}

TEST_F(StkImage, ValidationCodesOfPlainImages) {
    std::string image = makeImage();
    tb.writeFile("good", image);
    EXPECT_EQ(bspapiValidateImage("good", 1), 0);
    EXPECT_EQ(bspapiValidateImage("missing", 1), 2);
    tb.writeFile("short", image.substr(0, 87));
    EXPECT_EQ(bspapiValidateImage("short", 0), 3);
    std::string bad = image;
    bad[image.size() - 1] ^= 1;
    tb.writeFile("bad", bad);
    EXPECT_EQ(bspapiValidateImage("bad", 1), 3);
    // Without the flag the CRC is not looked at.
    EXPECT_EQ(bspapiValidateImage("bad", 0), 0);
    EXPECT_EQ(bspapiValidateImage("bad", 2), 0);
    // A marker without the magic: the length is the header's Size.
    std::string marked = image + "tail";
    marked[2] = char(0xAA);
    marked[3] = char(0x55);
    restoreCrc(marked, image.size());
    tb.writeFile("marked", marked);
    EXPECT_EQ(bspapiValidateImage("marked", 1), 0);
    EXPECT_EQ(tb.readFile("marked").size(), image.size() + 4);
    EXPECT_EQ(out(), "");
}

TEST_F(StkImage, ValidationCodesOfStkFiles) {
    const uint32_t mixed[] = {kOther, kBoard};
    std::string file = makeStkFile({}, mixed, 2);
    tb.writeFile("good", file);
    EXPECT_EQ(bspapiValidateImage("good", 1), 0);

    tb.writeFile("short", file.substr(0, file.size() - 1));
    EXPECT_EQ(bspapiValidateImage("short", 1), 5);

    std::string many = file;
    setBe32(many, 8, 11);
    tb.writeFile("many", many);
    EXPECT_EQ(bspapiValidateImage("many", 1), 6);
    std::string longHeader = file;
    setBe32(longHeader, 20, 369);
    tb.writeFile("longheader", longHeader);
    EXPECT_EQ(bspapiValidateImage("longheader", 1), 6);

    std::string none = file;
    setBe32(none, 8, 0);
    tb.writeFile("none", none);
    EXPECT_EQ(bspapiValidateImage("none", 1), 7);

    std::string unflagged = file;
    setBe32(unflagged, 88 + 28 + 8, 0);
    tb.writeFile("unflagged", unflagged);
    EXPECT_EQ(bspapiValidateImage("unflagged", 1), 8);
    const uint32_t foreign[] = {kOther};
    tb.writeFile("foreign", makeStkFile({}, foreign, 1));
    EXPECT_EQ(bspapiValidateImage("foreign", 1), 8);

    // One flagged record for the board among two is enough.
    const uint32_t twice[] = {kBoard, kBoard};
    std::string two = makeStkFile({}, twice, 2);
    setBe32(two, 88 + 8, 0);
    restoreCrc(two);
    tb.writeFile("two", two);
    EXPECT_EQ(bspapiValidateImage("two", 1), 0);

    std::string bad = file;
    bad[bad.size() - 1] ^= 0x40;
    tb.writeFile("bad", bad);
    EXPECT_EQ(bspapiValidateImage("bad", 1), 3);
    EXPECT_EQ(bspapiValidateImage("bad", 0), 0);
}

TEST_F(StkImage, ShortTailAfterTheTotalLengthIsCutLongOneKept) {
    const uint32_t ours[] = {kBoard};
    std::string file = makeStkFile({}, ours, 1);
    tb.writeFile("padded", file + std::string(128, '\x1a'));
    EXPECT_EQ(bspapiValidateImage("padded", 1), 0);
    EXPECT_EQ(tb.readFile("padded"), file);

    std::string longTail = file + std::string(1024, 'z');
    tb.writeFile("longtail", longTail);
    EXPECT_EQ(bspapiValidateImage("longtail", 1), 0);
    EXPECT_EQ(tb.readFile("longtail"), longTail);
}

TEST_F(StkImage, GarbageFilesNeverReadOutsideTheirBuffers) {
    std::mt19937 rng(2024);
    OprHeader h;
    for (int round = 0; round < 300; ++round) {
        std::string junk(rng() % 3000, '\0');
        for (auto& c : junk) c = static_cast<char>(rng());
        if (junk.size() >= 24 && round % 2 == 0) {
            junk[2] = char(0xAA);
            junk[3] = char(0x55);
            setBe32(junk, 4, 0x2288BB66);
            setBe32(junk, 8, rng() % 14);
            setBe32(junk, 20, round % 4 == 0 ? rng() : rng() % 400);
            if (round % 3 == 0) setBe32(junk, 12, static_cast<uint32_t>(junk.size()));
        }
        tb.writeFile("junk", junk);
        int code = bspapiValidateImage("junk", 1);
        EXPECT_TRUE(code == 0 || (code >= 2 && code <= 8)) << code;
        int rc = bspapiOprHeaderRead("junk", &h);
        EXPECT_TRUE(rc == 0 || rc == 1);
        EXPECT_EQ(h.file[255], '\0');
        ImageVersion v;
        EXPECT_EQ(bspapiImageVersionGet("junk", &v), 0);
    }
    out();
}

TEST_F(StkImage, ActiveImageFileCrc) {
    // No image list: "image1" is checked.
    EXPECT_EQ(check_oprcrc_in_flash(), 1);
    EXPECT_EQ(out(), "ActiveImage could not be found\n\nUnable to open image1\n");

    std::string image = makeImage();
    tb.writeFile("image1", image);
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
    std::string bad = image;
    bad[image.size() - 1] ^= 1;
    tb.writeFile("image1", bad);
    EXPECT_EQ(check_oprcrc_in_flash(), 1);

    // Shorter than its stated Size: not intact.
    tb.writeFile("image1", image.substr(0, image.size() - 1));
    EXPECT_EQ(check_oprcrc_in_flash(), 1);
    // Extra bytes after an STK file's total length are not covered.
    const uint32_t ours[] = {kBoard};
    tb.writeFile("image1", makeStkFile({}, ours, 1) + std::string(2000, 'e'));
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
    out();
}

TEST_F(StkImage, ActiveImageFileCrcLengthLimits) {
    dimInitialize();
    auto withLength = [&](uint32_t length) {
        std::string file(length, '\x5a');
        setBe32(file, 4, kBoard);
        setBe32(file, 8, length);
        restoreCrc(file);
        tb.writeFile("image1", file);
        return file;
    };
    std::string f = withLength(1219);
    tb.writeFile("image1", f + std::string(10, '\0'));
    EXPECT_EQ(check_oprcrc_in_flash(), 1);
    withLength(1220);
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
    withLength(0x1000000);
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
    f = withLength(0x1000000);
    setBe32(f, 8, 0x1000001);
    restoreCrc(f, 0x1000000);
    tb.writeFile("image1", f + "x");
    EXPECT_EQ(check_oprcrc_in_flash(), 1);
    EXPECT_EQ(out(),
              "ActiveImage could not be found\nActiveImage could not be found\n"
              "ActiveImage could not be found\nActiveImage could not be found\n");
}

TEST_F(StkImage, DisplayOfTheActiveImage) {
    stktest::ImageSpec spec;
    spec.rel = 'b';
    spec.ver = 7;
    spec.maint = 8;
    spec.build = 0;
    spec.compression = 2;
    spec.bootCode = std::string(300, 'B');
    spec.timestamp = "Sun Dec 12 10:20:30 2010";
    spec.file = "switch.stk";
    std::string image = makeImage(spec);
    tb.writeFile("image1", image);
    dimInitialize();
    print_vpd_in_flash();
    uint32_t size = static_cast<uint32_t>(image.size());
    uint32_t opSize = be32(image, 28);
    char expected[4096];
    std::snprintf(expected, sizeof expected,
                  "\n\n\nThe following image is in the Flash File System:\n\n"
                  "File Name......................................image1\n"
                  "CRC............................................0x%x (%d)\n"
                  "Target Device..................................0x00508541\n"
                  "Size...........................................0x%x (%d)\n"
                  "Number of Components...........................2\n\n"
                  "Operational Code Size..........................0x%x (%d)\n"
                  "Operational Code Offset........................0x0 (0)\n"
                  "Operational Code FLASH flag....................1\n"
                  "Operational Code CRC...........................0x%X\n"
                  "Operational Compression flag...................2 (lzma)\n\n"
                  "Boot Code Version..............................1\n"
                  "Boot Code Size.................................0x12c (300)\n"
                  "Boot Code Offset...............................0x%x (%d)\n"
                  "Boot Code FLASH flag...........................0\n"
                  "Boot Code CRC..................................0x%X\n\n"
                  "VPD - rel b ver 7 maint_lvl 8 \n"
                  "      Timestamp - Sun Dec 12 10:20:30 2010\n      File - switch.stk\n",
                  stk::getBe16(imagetest::bytes(image)), stk::getBe16(imagetest::bytes(image)),
                  size, size, opSize, opSize, stk::getBe16(imagetest::bytes(image) + 16), opSize,
                  opSize, stk::getBe16(imagetest::bytes(image) + 64));
    EXPECT_EQ(out(), expected);

    // Numeric release, a build number, gzip, no boot code.
    spec.rel = 3;
    spec.build = 9;
    spec.compression = 1;
    spec.bootCode.clear();
    tb.writeFile("image1", makeImage(spec));
    print_vpd_in_flash();
    std::string shown = out();
    EXPECT_NE(shown.find("1 (gzip)\n\nVPD - rel 3 ver 7 maint_lvl 8 build_num 9\n"),
              std::string::npos)
        << shown;
    EXPECT_EQ(shown.find("Boot Code"), std::string::npos);

    tb.writeFile("image1", "tiny");
    print_vpd_in_flash();
    EXPECT_EQ(out(), "Incomplete file image1\n\nUnable to open/validate image file image1!\n\n");
}

TEST_F(StkImage, Versions) {
    stktest::ImageSpec spec;
    tb.writeFile("plain", makeImage(spec));
    ImageVersion v;
    ASSERT_EQ(bspapiImageVersionGet("plain", &v), 0);
    EXPECT_EQ(v.valid, 1u);
    EXPECT_EQ(v.rel, 1);
    EXPECT_EQ(v.build_num, 4);
    const uint32_t ours[] = {kBoard};
    std::string stkFile = makeStkFile(spec, ours, 1);
    stkFile[16] = 9;  // the file header's own version wins
    tb.writeFile("stk", stkFile);
    ASSERT_EQ(bspapiImageVersionGet("stk", &v), 0);
    EXPECT_EQ(v.rel, 9);
    EXPECT_EQ(v.ver, 2);
    EXPECT_EQ(bspapiImageVersionGet("missing", &v), 1);
    EXPECT_EQ(bspapiImageVersionGet(nullptr, &v), 1);
    EXPECT_EQ(bspapiImageVersionGet("plain", nullptr), 1);

    ImageVersion a{1, 1, 2, 3, 4}, b{1, 1, 2, 3, 5}, c{1, 2, 0, 0, 0}, d{1, 1, 9, 9, 9};
    ImageVersion high{1, 0x80, 0, 0, 0};
    EXPECT_EQ(bspapiImageVersionGreaterCheck(&b, &a), 1);
    EXPECT_EQ(bspapiImageVersionGreaterCheck(&a, &b), 0);
    EXPECT_EQ(bspapiImageVersionGreaterCheck(&c, &d), 1);
    EXPECT_EQ(bspapiImageVersionGreaterCheck(&a, &a), 0);
    EXPECT_EQ(bspapiImageVersionGreaterCheck(&high, &d), 1);  // unsigned bytes
    EXPECT_EQ(bspapiImageVersionEqualIs(&a, &a), 1);
    EXPECT_EQ(bspapiImageVersionEqualIs(&a, &b), 0);
    EXPECT_EQ(bspapiValidateImageVersion("anything"), 1);
    EXPECT_EQ(bspapiCpuGetLowestImageVersion(), 0u);
}

}  // namespace
