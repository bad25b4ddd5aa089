// Our receive engine against lrzsz's senders, on a real pseudo-terminal with
// real time: sx (checksum, CRC, 1K), sb (YMODEM batch, 1K, YMODEM-G).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "interop_support.h"
#include "xmodem/xmodem.h"

namespace {

using namespace interop;
using stktest::LinePeer;
using stktest::RelayOptions;

class InteropReceive : public EngineInteropTest {
  protected:
    void SetUp() override { setUpPeer({"sx", "sb"}); }

    // Runs our command while the peer program sends; the peer's exit code
    // goes to *peerRc.
    int receive(const std::string& args, const std::vector<std::string>& peer, int* peerRc,
                int timeoutMs = 30000) {
        return withPeer(args, peer, peerRc, 100, timeoutMs);
    }

    void putPeerFile(const std::string& name, const std::string& data) {
        stktest::writeHostFile(peerDir_ + "/" + name, data);
    }

    // Sends each size with sx and the given options; checks the padding rule.
    void xmodemSizes(const std::string& ourArgs, const std::vector<std::string>& sxOptions,
                     size_t maxBlock) {
        for (size_t n : kSizes) {
            SCOPED_TRACE("size " + std::to_string(n));
            std::string data = stktest::randomBytes(n, uint32_t(n + 1));
            putPeerFile("x.bin", data);
            std::vector<std::string> argv = {"sx"};
            argv.insert(argv.end(), sxOptions.begin(), sxOptions.end());
            argv.push_back("x.bin");
            int peerRc = -1;
            EXPECT_EQ(receive(ourArgs + " x.bin", argv, &peerRc), 0) << peerErr_;
            EXPECT_EQ(peerRc, 0) << peerErr_;
            if (n == 0) {
                // An EOT before any block: nothing to create.
                EXPECT_FALSE(board_->exists("x.bin"));
            } else {
                EXPECT_TRUE(isPadded(board_->readFile("x.bin"), data, maxBlock));
            }
            ::unlink(board_->hostPath("x.bin").c_str());
        }
    }

    // Sends all sizes as one batch with sb and the given options.
    void ymodemBatch(const std::string& ourArgs, const std::vector<std::string>& sbOptions) {
        std::vector<std::string> argv = {"sb"};
        argv.insert(argv.end(), sbOptions.begin(), sbOptions.end());
        for (size_t n : kSizes) {
            putPeerFile(sizeName(n), stktest::randomBytes(n, uint32_t(n + 7)));
            argv.push_back(sizeName(n));
        }
        int peerRc = -1;
        EXPECT_EQ(receive(ourArgs, argv, &peerRc), 0) << peerErr_;
        EXPECT_EQ(peerRc, 0) << peerErr_;
        for (size_t n : kSizes) {
            SCOPED_TRACE(sizeName(n));
            ASSERT_TRUE(board_->exists(sizeName(n)));
            EXPECT_TRUE(board_->readFile(sizeName(n)) == stktest::randomBytes(n, uint32_t(n + 7)));
        }
        EXPECT_FALSE(board_->exists("xmodem.in"));
    }
};

TEST_F(InteropReceive, XmodemChecksumWhenAskedWithNak) {
    xmodemSizes("-rb", {}, 128);
}

TEST_F(InteropReceive, XmodemCrcWithEotConfirmation) {
    xmodemSizes("-crb", {}, 128);
}

TEST_F(InteropReceive, Xmodem1k) {
    xmodemSizes("-cbre", {"-k"}, 1024);
}

// The boot program's own form adds 'K' after 'C'. sx reads the 'K' as a
// garbled answer to its first block and sends that block again after its
// time-out: slower, but the file must still arrive intact.
TEST_F(InteropReceive, Xmodem1kInTheBootProgramsOwnForm) {
    std::string data = stktest::randomBytes(1025, 3);
    putPeerFile("x.bin", data);
    int peerRc = -1;
    EXPECT_EQ(receive("-cbrke x.bin", {"sx", "-k", "x.bin"}, &peerRc), 0) << peerErr_;
    EXPECT_EQ(peerRc, 0) << peerErr_;
    EXPECT_TRUE(isPadded(board_->readFile("x.bin"), data, 1024));
}

TEST_F(InteropReceive, Xmodem1kFourMebibytes) {
    std::string data = stktest::randomBytes(kBigSize, 4);
    putPeerFile("big.bin", data);
    int peerRc = -1;
    EXPECT_EQ(receive("-cbre big.bin", {"sx", "-k", "big.bin"}, &peerRc, 60000), 0) << peerErr_;
    EXPECT_EQ(peerRc, 0) << peerErr_;
    EXPECT_TRUE(isPadded(board_->readFile("big.bin"), data, 1024));
}

TEST_F(InteropReceive, YmodemBatchCutsEveryFileToItsLength) {
    ymodemBatch("-rb", {});
}

TEST_F(InteropReceive, YmodemBatch1k) {
    ymodemBatch("-rb", {"-k"});
}

TEST_F(InteropReceive, YmodemGStreamsWithoutAcknowledgements) {
    ymodemBatch("-rbg", {"-k"});
}

TEST_F(InteropReceive, YmodemBatchFourMebibytes) {
    std::string data = stktest::randomBytes(kBigSize + 3, 5);
    putPeerFile("big.bin", data);
    int peerRc = -1;
    EXPECT_EQ(receive("-rb", {"sb", "-k", "big.bin"}, &peerRc, 60000), 0) << peerErr_;
    EXPECT_EQ(peerRc, 0) << peerErr_;
    EXPECT_TRUE(board_->readFile("big.bin") == data);
}

TEST_F(InteropReceive, YmodemHeaderNameReplacesTheGivenOne) {
    std::string data = stktest::randomBytes(3000, 9);
    putPeerFile("xcode.bin", data);
    int peerRc = -1;
    EXPECT_EQ(receive("-cbre other.bin", {"sb", "-k", "xcode.bin"}, &peerRc), 0) << peerErr_;
    EXPECT_EQ(board_->readFile("xcode.bin").size(), data.size()) << peerErr_;
    EXPECT_TRUE(board_->readFile("xcode.bin") == data);
    EXPECT_FALSE(board_->exists("other.bin"));
}

// The boot program's receive form asks with 'C' 'K'. sb takes the 'K' for a
// garbled answer to its header and keeps repeating the header until it gives
// up: the transfer must then fail cleanly, without a file.
TEST_F(InteropReceive, BootFormAgainstSbFailsWithoutLeavingAFile) {
    putPeerFile("xcode.bin", stktest::randomBytes(3000, 9));
    int peerRc = -1;
    int rc = receive("-cbrke xcode.bin", {"sb", "-k", "xcode.bin"}, &peerRc);
    if (rc == 0) {
        EXPECT_TRUE(board_->readFile("xcode.bin") == stktest::randomBytes(3000, 9));
    } else {
        EXPECT_FALSE(board_->exists("xcode.bin"));
    }
}

// The sender dies in mid-file and the operator types Control-X a few times:
// with the n option the receiver honours CAN CAN after the first block and
// deletes what it has received.
TEST_F(InteropReceive, OperatorCancelInMidFileDeletesThePartialFile) {
    std::string data = stktest::randomBytes(kBigSize, 8);
    putPeerFile("big.bin", data);
    RelayOptions opt;
    opt.discardUntil = kAnnounceEnd;
    opt.holdMs = 100;
    LinePeer p;
    ASSERT_TRUE(p.startProgram(board_->lineFd(), peerDir_, {"sx", "-k", "big.bin"}, opt));
    std::thread operatorAtTheTerminal([&] {
        for (int i = 0; i < 2500 && p.relay()->bytesToLine() < 50000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        p.signal(SIGKILL);
        // The receiver first gives up on the cut block (a second without
        // bytes, a second of quiet) and waits again for a block.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const char cancel[] = "\x18\x18\x18\x18\x18";
        [[maybe_unused]] ssize_t n = ::write(board_->lineFd(), cancel, 5);
    });
    int rc = xmodem("-cbrne big.bin");
    operatorAtTheTerminal.join();
    p.wait(5000);
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(board_->exists("big.bin"));
    EXPECT_NE(
        p.relay()->lineTranscript().find("Reception Canceled by CAN-CAN; partial file deleted"),
        std::string::npos);
}

}  // namespace
