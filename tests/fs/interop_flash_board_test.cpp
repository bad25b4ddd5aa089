// Boards whose flash disk is a flash volume, against independent programs:
// what stkboot wrote (an image loaded with option 4 from sx, the event log it
// cleared, the image list) comes out of `stkimage volume export` byte for
// byte through mcopy; a volume made by mkfs.fat and mcopy goes in with
// `import` and start-up starts its image1; a ppce500 board folder's flash
// (QEMU's, Intel command set) takes the same verbs. fsck.fat -n finds every
// exported volume clean.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/board_volume_files.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using stktest::BootProcess;

class FlashBoard : public ::testing::Test {
  protected:
    ~FlashBoard() override {
        stktest::removeTree(board_);
        stktest::removeTree(work_);
    }
    // The contents of the exported volume's file, through mcopy.
    std::string mcopied(const std::string& image, const std::string& path) {
        std::string out;
        EXPECT_EQ(stktest::runTool({"mcopy", "-i", image, "::" + path, "-"}, &out), 0) << out;
        return out;
    }
    void firstStart() {
        BootProcess first;  // formats the flash volume
        ASSERT_TRUE(first.start(board_, {"--volume", "flash"})) << first.errText();
        ASSERT_TRUE(first.expect("[Boot Menu] ")) << first.unmatched();
    }
    std::string board_ = stktest::makeTempDir("stkboard-"), work_ = stktest::makeTempDir("stkvol-");
    stktest::BoardVolumeFiles volume_{board_, true};
};

TEST_F(FlashBoard, WhatStkbootWroteComesOutThroughExportAndMcopy) {
    firstStart();
    // An event log with a record after a free one: start-up clears it, all
    // but the last 4 bytes.
    std::string log(16384, '\xFF');
    log.replace(52, 4, std::string("\0\0\0\1", 4));
    log.replace(16380, 4, "TAIL");
    ASSERT_TRUE(volume_.put("files/log2.bin", log));
    stktest::ImageSpec spec;
    spec.payload = stktest::randomBytes(60000, 4);
    const std::string image = stktest::makeImage(spec);
    stktest::writeHostFile(work_ + "/xcode.bin", image);
    {
        BootProcess boot;
        ASSERT_TRUE(boot.start(board_)) << boot.errText();
        ASSERT_TRUE(boot.expect("[Boot Menu] ")) << boot.unmatched();
        boot.send("4\r");
        ASSERT_TRUE(boot.expect("transfer starts.")) << boot.unmatched();
        stktest::RelayOptions opt;
        opt.holdMs = 600;
        stktest::LinePeer sx;
        ASSERT_TRUE(sx.startProgram(boot.slaveFd(), work_, {"sx", "-k", "xcode.bin"}, opt));
        EXPECT_EQ(sx.wait(60000), 0);
        boot.addOutput(sx.lineTranscript());
        ASSERT_TRUE(boot.expect("Storing Operational code in Flash.")) << boot.unmatched();
        ASSERT_TRUE(boot.expect("[Boot Menu] ")) << boot.unmatched();
    }
    const std::string exported = work_ + "/volume.img";
    ASSERT_EQ(volume_.exportChecked(exported), "");
    // As received: the last XMODEM block (of 128 bytes) padded with ^Z.
    const std::string stored = mcopied(exported, "files/image1");
    EXPECT_TRUE(stored.substr(0, image.size()) == image);
    EXPECT_EQ(stored.substr(image.size()), std::string((128 - image.size() % 128) % 128, '\x1A'));
    EXPECT_EQ(mcopied(exported, "files/boot.dim"),
              "---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n");
    EXPECT_TRUE(mcopied(exported, "files/log2.bin") == std::string(16380, '\xFF') + "TAIL");
}

// The volume made by mkfs.fat holds a tree written by mcopy -s: image1, an
// empty file and a long name in a subfolder, read back by this file system.
TEST_F(FlashBoard, StartUpStartsImage1OfAVolumeMadeByMkfsAndMcopy) {
    firstStart();
    const std::string exported = work_ + "/volume.img", made = work_ + "/made.img";
    ASSERT_EQ(volume_.exportChecked(exported), "");
    const std::string tree = work_ + "/files", named = "files/sub/A Long Name With Spaces.text";
    std::filesystem::create_directories(tree + "/sub");
    stktest::writeHostFile(tree + "/image1", stktest::makeImage());
    stktest::writeHostFile(tree + "/empty", "");
    stktest::writeHostFile(work_ + "/" + named, stktest::randomBytes(70000, 2));
    std::string out;
    for (const auto& cmd : std::vector<std::vector<std::string>>{
             {"truncate", "-s", std::to_string(stktest::readHostFile(exported).size()), made},
             {"mkfs.fat", "-F", "16", made},
             {"mcopy", "-s", "-i", made, tree, "::"},
             {stktest::stkimagePath(), "volume", board_, "import", made},
             {stktest::stkimagePath(), "volume", board_, "get", named, work_ + "/back"},
             {stktest::stkimagePath(), "volume", board_, "get", "files/empty", work_ + "/none"}})
        ASSERT_EQ(stktest::runTool(cmd, &out), 0) << cmd[0] << ": " << out;
    EXPECT_TRUE(stktest::readHostFile(work_ + "/back") ==
                stktest::readHostFile(work_ + "/" + named));
    EXPECT_EQ(stktest::readHostFile(work_ + "/none"), "");
    {
        BootProcess boot;
        ASSERT_TRUE(boot.start(board_)) << boot.errText();
        ASSERT_TRUE(boot.expect("Calculating CRC of active image...done...")) << boot.unmatched();
        EXPECT_TRUE(boot.expectErr("hand-off to entry 0x00010000")) << boot.errText();
    }
    EXPECT_EQ(volume_.exportChecked(exported), "");  // with what start-up wrote
    EXPECT_EQ(mcopied(exported, "files/boot.dim"),
              "---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n");
}

// A board folder of QEMU's ppce500 machine, as scripts/run-ppce500.sh leaves it.
TEST_F(FlashBoard, Ppce500BoardFolderTakesTheVolumeVerbs) {
    stktest::writeHostFile(board_ + "/norflash.bin", std::string(32 << 20, '\xFF'));
    stktest::writeHostFile(board_ + "/flashdisk", "flash-ppce500\n");
    auto tool = [&](std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), {stktest::stkimagePath(), "volume", board_});
        out->clear();
        return stktest::runTool(args, out);
    };
    std::string out, made = work_ + "/made.img";
    // A wrong size is refused with the size that fits.
    stktest::writeHostFile(made, "small");
    ASSERT_EQ(tool({"import", made}, &out), 1);
    const size_t bytes = std::stoull(out.substr(out.find("image of ") + 9));
    ASSERT_EQ(stktest::runTool({"truncate", "-s", std::to_string(bytes), made}), 0) << out;
    ASSERT_EQ(stktest::runTool({"mkfs.fat", "-F", "16", made}, &out), 0) << out;
    ASSERT_EQ(tool({"import", made}, &out), 0) << out;
    stktest::writeHostFile(work_ + "/data", stktest::randomBytes(90000, 8));
    ASSERT_EQ(tool({"put", work_ + "/data", "diag_image.stk"}, &out), 0) << out;
    ASSERT_EQ(tool({"get", "diag_image.stk", work_ + "/back"}, &out), 0) << out;
    EXPECT_TRUE(stktest::readHostFile(work_ + "/back") == stktest::readHostFile(work_ + "/data"));
    ASSERT_EQ(tool({"ls"}, &out), 0);
    EXPECT_TRUE(stktest::contains(out, "       90000  diag_image.stk\n"));
    EXPECT_EQ(volume_.exportChecked(made), "");
    EXPECT_EQ(stktest::readHostFile(board_ + "/norflash.bin").size(), 32u << 20);  // as QEMU wants
    out.clear();
    EXPECT_EQ(stktest::runTool({stktest::stkbootPath(), "--board", board_}, &out), 1);
    EXPECT_EQ(out, "stkboot: board folder " + board_ +
                       " is a board of QEMU's ppce500 machine (scripts/run-ppce500.sh runs it; "
                       "stkimage volume reaches its flash disk)\n");
}

}  // namespace
