// The transfer command on a pseudo-terminal board with real time, against
// lrzsz: each program with a few sizes, 4 MiB each way, the operator's
// cancel, and line noise.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "support/pty_harness.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace {

using stktest::randomBytes;

// The last line of the announcement; what follows is protocol.
const char kAnnounceEnd[] = "transfer starts.\r\n\r";
const char kSUB = 0x1a;

std::string padded(std::string s) {
    s.resize((s.size() + 127) / 128 * 128, kSUB);
    return s;
}

// XMODEM keeps the sender's padding: data, then SUB up to a whole number of
// 128-byte sectors, less than one block.
bool isPadded(const std::string& got, const std::string& data, size_t block) {
    return got.size() < data.size() + block && got.substr(0, data.size()) == data &&
           got.size() % 128 == 0 && got.find_first_not_of(kSUB, data.size()) == std::string::npos;
}

struct Peer {
    const char* name;
    std::vector<std::string> argv;  // the file "x.bin" follows but for rb
    const char* ours;               // the file "x.bin" follows
    bool weSend, batch;             // batch: YMODEM keeps the exact length
    size_t block;                   // the largest block, for the padding
};

const Peer kSx{"sx", {"sx"}, "-rb", false, false, 128};
const Peer kSxK{"sxK", {"sx", "-k"}, "-cbre", false, false, 1024};
const Peer kSb{"sb", {"sb"}, "-rb", false, true, 128};
const Peer kSbG{"sbKtoG", {"sb", "-k"}, "-rbg", false, true, 1024};
const Peer kRx{"rx", {"rx"}, "-sb", true, false, 128};
const Peer kRxC{"rxC", {"rx", "-c"}, "cbske", true, false, 128};
const Peer kRb{"rb", {"rb", "-y"}, "-sbyk", true, true, 1024};

class Transfer : public ::testing::Test {
  protected:
    Transfer() { EXPECT_TRUE(board_.ok()) << board_.error(); }
    ~Transfer() override { stktest::removeTree(peerDir_); }

    // One transfer with the peer; with noise the result may be a failure, but
    // never a damaged file reported as success or left behind.
    void run(const Peer& p, const std::string& data, const stktest::RelayOptions& noise = {},
             int timeoutMs = 60000) {
        stktest::RelayOptions opt = noise;
        opt.discardUntil = kAnnounceEnd;
        opt.holdMs = 150;
        std::string peerFile = peerDir_ + "/x.bin", boardFile = board_.hostPath("x.bin");
        stktest::writeHostFile(p.weSend ? boardFile : peerFile, data);
        std::vector<std::string> argv = p.argv;
        if (!(p.weSend && p.batch)) argv.push_back("x.bin");
        stktest::LinePeer peer;
        ASSERT_TRUE(peer.startProgram(board_.lineFd(), peerDir_, argv, opt));
        int rc = xmodem((std::string(p.ours) + " x.bin").c_str());
        int peerRc = peer.wait(timeoutMs);
        std::string dst = p.weSend ? peerFile : boardFile, got = stktest::readHostFile(dst);
        bool exists = ::access(dst.c_str(), F_OK) == 0;
        bool noisy = noise.toLine.corruptRate > 0;
        if (!noisy || (rc == 0 && (!p.weSend || peerRc == 0))) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(peerRc, 0) << peer.errorText();
            if (p.batch)
                EXPECT_TRUE(got == data) << got.size() << " bytes for " << data.size();
            else
                EXPECT_TRUE(isPadded(got, data, p.block))
                    << got.size() << " bytes for " << data.size();
        } else if (!p.weSend && exists) {
            // A failed receive keeps only the file's own first blocks.
            std::string whole = p.batch ? data : padded(data);
            EXPECT_TRUE(got.size() <= whole.size() && whole.compare(0, got.size(), got) == 0)
                << "result " << rc << ", " << got.size() << " bytes left";
        }
    }

    stktest::HostLineBoard board_;
    std::string peerDir_ = stktest::makeTempDir("stkpeer-");
};

class Lrzsz : public Transfer, public ::testing::WithParamInterface<std::tuple<Peer, size_t>> {};

TEST_P(Lrzsz, CopiesTheFile) {
    auto [peer, size] = GetParam();
    run(peer, randomBytes(size, uint32_t(size + 1)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Lrzsz,
                         ::testing::Combine(::testing::Values(kSx, kSxK, kSb, kSbG, kRx, kRxC, kRb),
                                            ::testing::Values(1, 128, 129, 1024, 1025)),
                         [](const auto& i) {
                             return std::string(std::get<0>(i.param).name) + "_" +
                                    std::to_string(std::get<1>(i.param));
                         });
INSTANTIATE_TEST_SUITE_P(FourMebibytes, Lrzsz,
                         ::testing::Combine(::testing::Values(kSxK, kRxC),
                                            ::testing::Values(4u << 20)),
                         [](const auto& i) { return std::string(std::get<0>(i.param).name); });

// Line noise at a seeded rate: blocks see a fault every few thousand bytes;
// the one-byte answers are only lost, never altered (a NAK turned into ACK
// makes any XMODEM sender skip a block, and plain XMODEM carries no length).
struct Noise {
    Peer peer;
    uint32_t seed;
    double scale;
};

class LineNoise : public Transfer, public ::testing::WithParamInterface<Noise> {};

TEST_P(LineNoise, NeverYieldsADamagedFileReportedAsSuccess) {
    const Noise& n = GetParam();
    stktest::RelayOptions opt;
    stktest::LineNoise blocks{n.seed, n.scale / 6000, n.scale / 6000, n.scale / 3000};
    stktest::LineNoise answers{n.seed * 7919u + 1, n.scale / 100, 0, 0};
    opt.toLine = n.peer.weSend ? answers : blocks;
    opt.toPeer = n.peer.weSend ? blocks : answers;
    // sb still waits a minute for an answer to its EOT after our cancel.
    run(n.peer, randomBytes(n.scale > 1 ? 1500 : 3000, n.seed), opt, n.peer.batch ? 3000 : 60000);
}

std::vector<Noise> noiseRuns() {
    std::vector<Noise> runs;
    for (uint32_t s = 1; s <= 6; ++s) runs.push_back({kSx, s, 1});
    for (uint32_t s = 201; s <= 204; ++s) runs.push_back({kSx, s, 5});  // some give up, cleanly
    for (uint32_t s = 101; s <= 104; ++s)
        runs.push_back({{"rxC", {"rx", "-c"}, "-sbk", true, false, 1024}, s, 1});
    for (uint32_t s = 301; s <= 304; ++s)
        runs.push_back({{"sbG", {"sb", "-k"}, "-rbg", false, true, 1024}, s, 0.5});
    return runs;
}

INSTANTIATE_TEST_SUITE_P(Seeds, LineNoise, ::testing::ValuesIn(noiseRuns()), [](const auto& i) {
    return std::string(i.param.peer.name) + "_" + std::to_string(i.param.seed);
});

// The sender dies in mid-file and the operator types Control-X: with the n
// option the receiver honours CAN CAN after the first block and deletes.
TEST_F(Transfer, OperatorCancelInMidFileDeletesThePartialFile) {
    stktest::writeHostFile(peerDir_ + "/big.bin", randomBytes(4u << 20, 8));
    stktest::RelayOptions opt;
    opt.discardUntil = kAnnounceEnd;
    opt.holdMs = 100;
    stktest::LinePeer p;
    ASSERT_TRUE(p.startProgram(board_.lineFd(), peerDir_, {"sx", "-k", "big.bin"}, opt));
    std::thread operatorAtTheTerminal([&] {
        for (int i = 0; i < 2500 && p.bytesToLine() < 50000; ++i) ::usleep(2000);
        p.kill();
        // The receiver first gives up on the cut block, then waits for a block again.
        ::usleep(2500000);
        [[maybe_unused]] ssize_t n = ::write(board_.lineFd(), "\x18\x18\x18\x18\x18", 5);
    });
    EXPECT_EQ(xmodem("-cbrne big.bin"), -1);
    operatorAtTheTerminal.join();
    p.wait(5000);
    EXPECT_NE(::access(board_.hostPath("big.bin").c_str(), F_OK), 0);
    EXPECT_NE(p.lineTranscript().find("Reception Canceled by CAN-CAN; partial file deleted"),
              std::string::npos);
}

}  // namespace
