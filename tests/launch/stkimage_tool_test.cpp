// The stkimage tool: images it builds are what the boot program's own
// routines accept, and every bad input gets a clear one-line refusal.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "image/stk_format.h"
#include "launch_support.h"

namespace launchtest {
namespace {

namespace fs = std::filesystem;

class StkimageTest : public LaunchTest {
  protected:
    StkimageTest() : dir_(stktest::makeTempDir("stklaunch-tool-")) {}
    ~StkimageTest() override { stktest::removeTree(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    ProgramRun tool(std::vector<std::string> args) {
        args.insert(args.begin(), kStkimage);
        return runProgram(args, dir_);
    }
    // Files in the folder other than the run's own output.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            if (e.path().filename() != "run.out") names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    static stk::OprHeader header(const std::string& file, size_t at = 0) {
        stk::OprHeader h;
        stk::decodeOprHeader(reinterpret_cast<const uint8_t*>(file.data()) + at, h);
        return h;
    }
    static size_t lineCount(const std::string& s) {
        return size_t(std::count(s.begin(), s.end(), '\n'));
    }

    std::string dir_;
};

TEST_F(StkimageTest, HelpListsTheVerbs) {
    ProgramRun r = tool({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "stkimage - builds, shows and checks STK image files\n"
              "Usage: stkimage [OPTIONS] SUBCOMMAND\n"
              "\n"
              "Options:\n"
              "  -h,--help                   Print this help message and exit\n"
              "\n"
              "Subcommands:\n"
              "  create                      build an image file from a firmware file\n"
              "  bundle                      wrap images for different target devices in one "
              "STK file\n"
              "  info                        show an image file's header\n"
              "  verify                      check an image file as the boot program does\n"
              "  bootflash                   copy the boot flash window (the chip's last MiB) of a "
              "board folder to a file\n"
              "\n");
}

TEST_F(StkimageTest, CreatedImageHasTheRequestedFieldsAndStarts) {
    std::string firmware = firmwareText(300000, 21);
    std::string boot = randomBytes(4000, 22);
    writeFile(path("fw"), firmware);
    writeFile(path("boot"), boot);
    for (const char* compression : {"zlib", "lzma"}) {
        SCOPED_TRACE(compression);
        ProgramRun r = tool({"create", path("fw"), "-o", path("img"), "--compression", compression,
                             "--load-address", "0x00200000", "--version", "3.1.4.1", "--timestamp",
                             "Wed Mar  2 11:00:00 2011", "--file-text", "fw.bin", "--boot-code",
                             path("boot"), "--boot-code-version", "7"});
        ASSERT_EQ(r.status, 0) << r.out;
        std::string img = readFile(path("img"));
        stk::OprHeader h = header(img);
        EXPECT_EQ(h.targetDevice, 0x00508541u);
        EXPECT_EQ(h.size, img.size());
        EXPECT_EQ(h.numComponents, 2u);
        EXPECT_EQ(h.rel, 3);
        EXPECT_EQ(h.build_num, 1);
        EXPECT_STREQ(h.timestamp, "Wed Mar  2 11:00:00 2011");
        EXPECT_STREQ(h.file, "fw.bin");
        const stk::OprComponent& c = h.components[0];
        const stk::OprComponent& b = h.components[1];
        EXPECT_EQ(c.loadAddress, 0x00200000u);
        EXPECT_EQ(c.compressionFlag, std::string(compression) == "zlib" ? 1u : 2u);
        EXPECT_EQ(c.crc,
                  stk::stkCrc16Bytewise(
                      reinterpret_cast<const uint8_t*>(img.data()) + 1220 + c.offset, c.size));
        // The boot code is stored as given, after the operational code.
        EXPECT_EQ(b.version, 7u);
        EXPECT_EQ(b.offset, c.size);
        EXPECT_EQ(img.substr(1220 + b.offset, b.size), boot);
        EXPECT_EQ(b.crc, stk::stkCrc16Bytewise(reinterpret_cast<const uint8_t*>(boot.data()),
                                               boot.size()));

        ProgramRun v = tool({"verify", path("img")});
        EXPECT_EQ(v.status, 0) << v.out;
        con().clearOutput();
        expectStarted(launch(img), firmware, 0x00200000);
    }
}

TEST_F(StkimageTest, InfoUsesTheBootMenuLabels) {
    writeFile(path("fw"), "firmware");
    ASSERT_EQ(tool({"create", path("fw"), "-o", path("img"), "--compression", "zlib", "--version",
                    "65.2.0.0", "--timestamp", "T", "--file-text", "F"})
                  .status,
              0);
    stk::OprHeader h = header(readFile(path("img")));
    ProgramRun r = tool({"info", path("img")});
    ASSERT_EQ(r.status, 0) << r.out;
    char expected[2048];
    std::snprintf(expected, sizeof expected,
                  "File Name......................................img\n"
                  "CRC............................................0x%x (%d)\n"
                  "Target Device..................................0x00508541\n"
                  "Size...........................................0x%x (%d)\n"
                  "Number of Components...........................1\n\n"
                  "Operational Code Size..........................0x%x (%d)\n"
                  "Operational Code Offset........................0x0 (0)\n"
                  "Operational Code FLASH flag....................1\n"
                  "Operational Code CRC...........................0x%X\n"
                  "Operational Compression flag...................1 (gzip)\n\n"
                  "VPD - rel A ver 2 maint_lvl 0 \n"
                  "      Timestamp - T\n      File - F\n",
                  h.crc, h.crc, h.size, int(h.size), h.components[0].size,
                  int(h.components[0].size), h.components[0].crc);
    EXPECT_EQ(r.out, expected);
}

TEST_F(StkimageTest, BundleAndStkWrappedImagesVerifyAndStartTheirOwnRecord) {
    std::string mine = firmwareText(50000, 31);
    writeFile(path("mine"), mine);
    writeFile(path("other"), firmwareText(40000, 32));
    ASSERT_EQ(tool({"create", path("other"), "-o", path("a"), "--target", "0x00501234"}).status, 0);
    ASSERT_EQ(tool({"create", path("mine"), "-o", path("b")}).status, 0);
    ProgramRun r = tool({"bundle", path("a"), path("b"), "-o", path("ab"), "--version", "2.0.0.1"});
    ASSERT_EQ(r.status, 0) << r.out;
    std::string ab = readFile(path("ab"));
    stk::StkFileHeader fh;
    ASSERT_EQ(stk::decodeStkFileHeader(reinterpret_cast<const uint8_t*>(ab.data()), ab.size(), fh),
              2);
    EXPECT_EQ(fh.totalLength, ab.size());
    EXPECT_EQ(fh.records[1].targetDevice, 0x00508541u);
    EXPECT_EQ(fh.rel, 2);
    EXPECT_EQ(tool({"verify", path("ab")}).status, 0);
    ProgramRun info = tool({"info", path("ab")});
    EXPECT_NE(info.out.find("STK file header\n"), std::string::npos);
    EXPECT_NE(info.out.find("Target Device..................................0x00501234\n"),
              std::string::npos);
    expectStarted(launch(ab), mine);

    // A bundle without an image for this board is refused by verify.
    ASSERT_EQ(tool({"bundle", path("a"), "-o", path("only-a")}).status, 0);
    ProgramRun v = tool({"verify", path("only-a")});
    EXPECT_NE(v.status, 0);
    EXPECT_NE(v.out.find("no image record for target device 0x00508541"), std::string::npos);

    ProgramRun dup = tool({"bundle", path("b"), path("b"), "-o", path("bb")});
    EXPECT_NE(dup.status, 0);
    EXPECT_FALSE(fs::exists(path("bb")));

    ASSERT_EQ(tool({"create", path("mine"), "-o", path("wrapped"), "--stk"}).status, 0);
    EXPECT_EQ(tool({"verify", path("wrapped")}).status, 0);
    con().clearOutput();
    expectStarted(launch(readFile(path("wrapped"))), mine);
}

TEST_F(StkimageTest, VerifyGivesOneLineReasons) {
    writeFile(path("fw"), firmwareText(20000, 41));
    ASSERT_EQ(tool({"create", path("fw"), "-o", path("img"), "--stk"}).status, 0);
    std::string img = readFile(path("img"));

    struct Case {
        std::string name, bytes, reason;
    } cases[] = {
        {"crc", img.substr(0, 500) + char(img[500] ^ 1) + img.substr(501),
         "the file CRC does not match (validation code 3)"},
        {"short", img.substr(0, 50), "shorter than 88 bytes (validation code 3)"},
        {"cut", img.substr(0, img.size() - 10), "shorter than the total length"},
        {"bad-target",
         [&] {
             std::string s = img;
             s[88 + 7] = 0x42;  // the record's target device
             stk::fileCrcStore(reinterpret_cast<uint8_t*>(s.data()), s.size());
             return s;
         }(),
         "(validation code 8)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(c.name), c.bytes);
        ProgramRun r = tool({"verify", path(c.name)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(lineCount(r.out), 1u) << r.out;
        EXPECT_EQ(r.out.rfind("stkimage: " + path(c.name) + ": ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(c.reason), std::string::npos) << r.out;
        EXPECT_EQ(readFile(path(c.name)), c.bytes) << "verify changed the file";
    }
    ProgramRun missing = tool({"verify", path("none")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(lineCount(missing.out), 1u);
}

TEST_F(StkimageTest, CreateRefusesBadInputWithoutLeavingAFile) {
    writeFile(path("fw"), "firmware");
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"create", path("none"), "-o", path("out")}, "no such file"},
        {{"create", path("fw"), "-o", path("out"), "--load-address", "12x"}, "not a 32-bit number"},
        {{"create", path("fw"), "-o", path("out"), "--target", "0x100000000"},
         "not a 32-bit number"},
        {{"create", path("fw"), "-o", path("out"), "--version", "1.2.3"}, "not a version"},
        {{"create", path("fw"), "-o", path("out"), "--version", "1.2.3.256"}, "not a version"},
        {{"create", path("fw"), "-o", path("out"), "--compression", "bzip2"}, "bzip2"},
        {{"create", path("fw"), "-o", path("out"), "--load-address", "0x0F000000"},
         "does not fit in memory"},
        {{"create", path("fw"), "-o", path("out"), "--timestamp", std::string(32, 'x')},
         "longer than 31"},
        {{"create", path("fw"), "-o", path("no-such-dir/out")}, "cannot write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[c.args.size() - 1]);
        ProgramRun r = tool(c.args);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.out.find(c.reason), std::string::npos) << r.out;
        EXPECT_EQ(files(), std::vector<std::string>({"fw"}));
    }
}

TEST_F(StkimageTest, FirmwareBeyondSixteenMebibytesIsRefused) {
    writeFile(path("big"), randomBytes((16 << 20) + 1000, 51));
    ProgramRun r =
        tool({"create", path("big"), "-o", path("out"), "--compression", "zlib", "--level", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("more than the 16 MiB (16777216 bytes) limit"), std::string::npos)
        << r.out;
    EXPECT_EQ(files(), std::vector<std::string>({"big"}));
}

}  // namespace
}  // namespace launchtest
