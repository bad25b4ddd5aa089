// Our send engine against lrzsz's receivers, on a real pseudo-terminal with
// real time: rx (checksum), rx -c (CRC) and rb (YMODEM batch).
#include <gtest/gtest.h>

#include <memory>

#include "interop_support.h"
#include "xmodem/xmodem.h"

namespace {

using namespace interop;

class InteropSend : public EngineInteropTest {
  protected:
    void SetUp() override { setUpPeer({"rx", "rb"}); }

    // Runs our command while the peer program receives. rx starts asking at
    // once, so its bytes wait until the command has put the line into
    // transfer mode, as when an operator starts it after the announcement.
    int send(const std::string& args, const std::vector<std::string>& peer, int* peerRc,
             int timeoutMs = 30000) {
        return withPeer(args, peer, peerRc, 150, timeoutMs);
    }

    std::string peerFile(const std::string& name) {
        return stktest::readHostFile(peerDir_ + "/" + name);
    }

    // Each send to rx costs about two seconds of protocol pauses (a wait
    // for 'K' after 'C', rx's second of silence before it acknowledges EOT),
    // so each form gets the sizes that tell it apart.
    void xmodemSizes(const std::string& ourArgs, const std::vector<std::string>& rxOptions,
                     size_t maxPad, const std::vector<size_t>& sizes) {
        for (size_t n : sizes) {
            SCOPED_TRACE("size " + std::to_string(n));
            std::string data = stktest::randomBytes(n, uint32_t(n + 11));
            board_->writeFile("x.bin", data);
            ::unlink((peerDir_ + "/x.bin").c_str());
            std::vector<std::string> argv = {"rx"};
            argv.insert(argv.end(), rxOptions.begin(), rxOptions.end());
            argv.push_back("x.bin");
            int peerRc = -1;
            EXPECT_EQ(send(ourArgs + " x.bin", argv, &peerRc), 0) << peerErr_;
            EXPECT_EQ(peerRc, 0) << peerErr_;
            EXPECT_TRUE(isPadded(peerFile("x.bin"), data, maxPad + 1));
        }
    }
};

TEST_F(InteropSend, XmodemChecksumToRx) {
    xmodemSizes("-sb", {}, 127, {1, 129});
}

// The boot program's own send form: 1K blocks, 128-byte blocks for the tail.
// One test per size, so that a parallel test run spreads the pauses.
class InteropSendSized : public InteropSend, public ::testing::WithParamInterface<size_t> {};

TEST_P(InteropSendSized, Xmodem1kCrcToRxInTheBootProgramsOwnForm) {
    xmodemSizes("cbske", {"-c"}, 128, {GetParam()});
}

INSTANTIATE_TEST_SUITE_P(InteropSizes, InteropSendSized,
                         ::testing::Values(1, 127, 128, 129, 1023, 1024, 1025));

TEST_F(InteropSend, XmodemCrc128ToRx) {
    xmodemSizes("-sb", {"-c"}, 127, {1025});
}

TEST_F(InteropSend, FourMebibytesToRx) {
    std::string data = stktest::randomBytes(kBigSize, 12);
    board_->writeFile("big.bin", data);
    int peerRc = -1;
    EXPECT_EQ(send("cbske big.bin", {"rx", "-c", "big.bin"}, &peerRc, 60000), 0) << peerErr_;
    EXPECT_EQ(peerRc, 0) << peerErr_;
    EXPECT_TRUE(isPadded(peerFile("big.bin"), data, 129));
}

TEST_F(InteropSend, EmptyFileIsRefusedBeforeTheTransfer) {
    board_->writeFile("empty.bin", "");
    int peerRc = -1;
    EXPECT_EQ(send("cbske empty.bin", {"rx", "-c", "empty.bin"}, &peerRc, 300), -1);
    EXPECT_NE(peerRc, 0);
}

TEST_F(InteropSend, YmodemBatchToRbKeepsExactLengths) {
    const std::vector<size_t> sizes = {0, 127, 1024, 1025};
    std::string args = "-sbyk";
    for (size_t n : sizes) {
        board_->writeFile(sizeName(n), stktest::randomBytes(n, uint32_t(n + 13)));
        args += " " + sizeName(n);
    }
    int peerRc = -1;
    EXPECT_EQ(send(args, {"rb", "-y"}, &peerRc), 0) << peerErr_;
    EXPECT_EQ(peerRc, 0) << peerErr_;
    for (size_t n : sizes) {
        SCOPED_TRACE(sizeName(n));
        EXPECT_TRUE(peerFile(sizeName(n)) == stktest::randomBytes(n, uint32_t(n + 13)))
            << peerFile(sizeName(n)).size();
    }
}

TEST_F(InteropSend, YmodemBatchOf128ByteBlocksToRb) {
    board_->writeFile("a.bin", stktest::randomBytes(3000, 14));
    int peerRc = -1;
    EXPECT_EQ(send("-sby a.bin", {"rb", "-y"}, &peerRc), 0) << peerErr_;
    EXPECT_EQ(peerRc, 0) << peerErr_;
    EXPECT_TRUE(peerFile("a.bin") == stktest::randomBytes(3000, 14));
}

}  // namespace
