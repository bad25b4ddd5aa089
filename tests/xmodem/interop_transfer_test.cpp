// The transfer command on a pseudo-terminal board with real time, against
// lrzsz: each program with a few sizes, 4 MiB each way, and line noise.
#include <gtest/gtest.h>

#include "support/pty_harness.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace {

// The last line of the announcement; what follows is protocol.
const char kAnnounceEnd[] = "transfer starts.\r\n\r";

// XMODEM keeps the sender's padding: data, then SUB up to a whole number of
// 128-byte sectors, less than one block.
bool isPadded(const std::string& got, const std::string& data, size_t block) {
    return got.size() < data.size() + block && got.substr(0, data.size()) == data &&
           got.size() % 128 == 0 && got.find_first_not_of('\x1a', data.size()) == std::string::npos;
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

// A transfer with each program and a few sizes, 4 MiB each way, and seeded
// line noise: blocks see a fault every few thousand bytes; the one-byte
// answers are only lost, never altered (a NAK turned into ACK makes any
// XMODEM sender skip a block, and plain XMODEM carries no length).
struct Run {
    Peer peer;
    size_t size;
    uint32_t seed;  // 0: a clean line
    double scale;   // of the fault rates
};

std::vector<Run> runs() {
    std::vector<Run> r;
    for (const Peer& p : {kSx, kSxK, kSb, kSbG, kRx, kRxC, kRb})
        for (size_t n : {1, 128, 129, 1024, 1025}) r.push_back({p, n, 0, 0});
    r.push_back({kSxK, 4u << 20, 0, 0});
    r.push_back({kRxC, 4u << 20, 0, 0});
    for (uint32_t s = 1; s <= 10; ++s) r.push_back({kSx, 3000, s, 1});
    for (uint32_t s = 201; s <= 204; ++s) r.push_back({kSx, 1500, s, 5});  // some give up, cleanly
    for (uint32_t s = 101; s <= 104; ++s)
        r.push_back({{"rxC1K", {"rx", "-c"}, "-sbk", true, false, 1024}, 3000, s, 1});
    for (uint32_t s = 301; s <= 304; ++s) r.push_back({kSbG, 3000, s, 0.5});
    return r;
}

class Transfer : public ::testing::TestWithParam<Run> {
  protected:
    ~Transfer() override { stktest::removeTree(peerDir_); }
    stktest::HostLineBoard board_;
    std::string peerDir_ = stktest::makeTempDir("stkpeer-");
};

// With noise the result may be a failure, but never a damaged file reported
// as success or left behind.
TEST_P(Transfer, NeverYieldsADamagedFile) {
    const auto& [p, size, seed, scale] = GetParam();
    std::string data = stktest::randomBytes(size, seed ? seed : uint32_t(size + 1));
    stktest::RelayOptions opt;
    stktest::LineNoise blocks{seed, scale / 6000, scale / 6000, scale / 3000};
    stktest::LineNoise answers{seed * 7919u + 1, scale / 100, 0, 0};
    opt.toLine = p.weSend ? answers : blocks;
    opt.toPeer = p.weSend ? blocks : answers;
    opt.discardUntil = kAnnounceEnd;
    opt.holdMs = 150;
    std::string peerFile = peerDir_ + "/x.bin", boardFile = board_.hostPath("x.bin");
    stktest::writeHostFile(p.weSend ? boardFile : peerFile, data);
    std::vector<std::string> argv = p.argv;
    if (!(p.weSend && p.batch)) argv.push_back("x.bin");
    stktest::LinePeer peer;
    ASSERT_TRUE(peer.startProgram(board_.lineFd(), peerDir_, argv, opt));
    int rc = xmodem((std::string(p.ours) + " x.bin").c_str());
    // After our cancel sb still waits a minute for an answer to its EOT.
    int peerRc = peer.wait(seed && p.batch ? 3000 : 60000);
    std::string dst = p.weSend ? peerFile : boardFile, got = stktest::readHostFile(dst);
    std::string whole = data + std::string(p.batch ? 0 : (128 - data.size() % 128) % 128, '\x1a');
    if (!seed || (rc == 0 && (!p.weSend || peerRc == 0))) {
        // On a failure the last bytes our side sent show where the exchange stopped.
        std::string sent = peer.lineTranscript();
        sent.erase(0, sent.size() - std::min<size_t>(sent.size(), 200));
        EXPECT_EQ(rc, 0) << ::testing::PrintToString(sent);
        EXPECT_EQ(peerRc, 0) << ::testing::PrintToString(sent);
        EXPECT_TRUE(p.batch ? got == data : isPadded(got, data, p.block))
            << got.size() << " bytes for " << data.size();
    } else if (!p.weSend) {
        // A failed receive keeps only the file's own first blocks.
        EXPECT_TRUE(whole.starts_with(got))
            << "result " << rc << ", " << got.size() << " bytes left";
    }
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, Transfer, ::testing::ValuesIn(runs()), [](const auto& i) {
    return std::string(i.param.peer.name) + "_" + std::to_string(i.param.size) +
           (i.param.seed ? "_noise" + std::to_string(i.param.seed) : "");
});

}  // namespace
