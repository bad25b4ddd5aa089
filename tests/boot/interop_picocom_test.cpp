// An operator's session through a real terminal program: picocom attached to
// the boot program's pseudo-terminal console, lrzsz's sx as picocom's send
// command, and every key typed on picocom's own terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

// A shell script as firmware; `padding` random bytes after its end make the
// image large enough for every mark of the decompression's progress bar.
std::string image(const std::string& script, uint32_t loadAddress, size_t padding = 0) {
    stktest::ImageSpec spec;
    spec.payload = "#!/bin/sh\n" + script + "\nexit 0\n" + stktest::randomBytes(padding, 3);
    spec.loadAddress = loadAddress;
    return stktest::makeImage(spec);
}

class PicocomSession : public ::testing::Test {
  protected:
    ~PicocomSession() override {
        stktest::removeTree(boardDir_);
        stktest::removeTree(peerDir_);
    }
    std::string boardDir_ = stktest::makeTempDir("stkboard-"),
                peerDir_ = stktest::makeTempDir("stkpicocom-");
};

TEST_F(PicocomSession, LoadsAnImageThroughItsSendCommandAndStartsIt) {
    // A board prepared by hand with a valid image, so that start-up offers the
    // auto-boot choice; the operator loads another one over it.
    std::filesystem::create_directories(boardDir_ + "/DskVol/files");
    stktest::writeHostFile(boardDir_ + "/DskVol/files/image1", image("echo first image", 0x10000));
    std::string loaded = image("echo loaded image, start type $1", 0x00200000, 120000);
    stktest::writeHostFile(peerDir_ + "/xcode.bin", loaded);
    // stkboot on the board folder with picocom attached, by the console's fixed
    // name in the board folder as a saved command has it; the operator
    // declines the auto-boot choice and lands in the Boot Menu.
    stktest::BootProcess boot, term;
    ASSERT_TRUE(boot.start(boardDir_, {"--run-firmware"}, false)) << boot.errText();
    ASSERT_TRUE(term.startTerminal(
        {"picocom", "-b", "9600", "--send-cmd", "sx -k", boardDir_ + "/console"}, peerDir_));
    ASSERT_TRUE(term.expect("Terminal ready")) << term.unmatched() << term.errText();
    ASSERT_TRUE(term.expect("operational code will start.")) << term.unmatched();
    ASSERT_TRUE(term.expect("Select (1, 2):")) << term.unmatched();
    term.send("2\r");
    ASSERT_TRUE(term.expect("[Boot Menu] ")) << term.unmatched();
    term.send("4\r");
    ASSERT_TRUE(term.expect("Ready to RECEIVE File xcode.bin")) << term.unmatched();
    // Once the boot program has announced the transfer, the operator starts
    // picocom's send command (C-a C-s) on the file.
    ASSERT_TRUE(term.expect("transfer starts.")) << term.unmatched();
    ::usleep(600000);  // reading the announcement
    term.send("\x01\x13");
    ASSERT_TRUE(term.expect("*** file: ")) << term.unmatched();
    term.send("xcode.bin\r");
    ASSERT_TRUE(term.expect("*** exit status: 0 ***", 120000))
        << term.unmatched() << term.errText();
    ASSERT_TRUE(term.expect("The following code has been uploaded:")) << term.unmatched();
    ASSERT_TRUE(term.expect("[Boot Menu] ")) << term.unmatched();
    // XMODEM keeps the sender's padding to a whole block.
    std::string stored = stktest::readHostFile(boardDir_ + "/DskVol/files/image1");
    EXPECT_EQ(stored.substr(0, loaded.size()), loaded);
    EXPECT_EQ(stored.size(), (loaded.size() + 127) / 128 * 128);
    term.send("1\r");
    // The whole progress bar, then the image's own output on the console.
    EXPECT_TRUE(term.expect("100%\r\n" + std::string(51, '|') + "\r\n")) << term.unmatched();
    EXPECT_TRUE(term.expect("handing the console to the operational code")) << term.unmatched();
    EXPECT_TRUE(term.expect("loaded image, start type 1\r\n")) << term.unmatched();
    EXPECT_FALSE(stktest::contains(term.unmatched(), "first image"));
}

}  // namespace
