// Option 4 against a real XMODEM sender (lrzsz's sx) on a pseudo-terminal.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "image/dim.h"
#include "image/stkimage.h"
#include "load/load.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

// The last line of the receive announcement on a terminal; protocol follows.
constexpr const char kAnnounceEnd[] = "transfer starts.\r\n\r";

class InteropLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!stktest::programsAvailable({"sx"})) GTEST_SKIP() << "lrzsz missing";
        if (!stktest::xmodemEngineAvailable()) GTEST_SKIP() << "transfer command not built";
        board_ = std::make_unique<stktest::HostLineBoard>();
        ASSERT_TRUE(board_->ok()) << board_->error();
        peerDir_ = stktest::makeTempDir("stkpeer-");
    }
    void TearDown() override {
        board_.reset();
        if (!peerDir_.empty()) stktest::removeTree(peerDir_);
    }

    int loadWith(const std::vector<std::string>& sender, int* peerRc) {
        stktest::RelayOptions opt;
        opt.discardUntil = kAnnounceEnd;
        opt.holdMs = 100;
        stktest::LinePeer peer;
        if (!peer.startProgram(board_->lineFd(), peerDir_, sender, opt)) return -2;
        int rc = load_operational_code(0x00508541);
        *peerRc = peer.wait(30000);
        peerErr_ = peer.errorText();
        return rc;
    }

    std::unique_ptr<stktest::HostLineBoard> board_;
    std::string peerDir_;
    std::string peerErr_;
};

TEST_F(InteropLoad, ImageSentBySxReplacesTheActiveImage) {
    stktest::ImageSpec oldSpec;
    oldSpec.payload = "old firmware";
    const std::string oldImage = stktest::makeImage(oldSpec);
    board_->writeFile("image1", oldImage);
    dimInitialize();

    stktest::ImageSpec spec;
    spec.payload = stktest::randomBytes(20000, 5);
    const std::string image = stktest::makeImage(spec);
    stktest::writeHostFile(peerDir_ + "/new.stk", image);

    int peerRc = -1;
    EXPECT_EQ(loadWith({"sx", "-k", "new.stk"}, &peerRc), 0) << peerErr_;
    EXPECT_EQ(peerRc, 0) << peerErr_;
    const std::string stored = board_->readFile("image1");
    ASSERT_GE(stored.size(), image.size());
    EXPECT_EQ(stored.substr(0, image.size()), image);
    EXPECT_FALSE(board_->exists("xcode.bin"));
    EXPECT_EQ(check_oprcrc_in_flash(), 0);
}

}  // namespace
