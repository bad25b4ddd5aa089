// Line noise: a relay that drops, duplicates and corrupts bytes at a seeded
// rate. Whatever the noise does, a transfer either ends with result 0 and a
// byte-identical file, or with -1 and no file, or with the blocks received so
// far when the sender stopped; a damaged file reported as success is a fault.
//
// Each seeded run needs a board of its own and spends most of its time in
// protocol time-outs, so the runs go in parallel child processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "interop_support.h"
#include "xmodem/xmodem.h"

namespace {

using namespace interop;
using stktest::HostLineBoard;
using stktest::LinePeer;
using stktest::RelayOptions;

enum Verdict {
    kIntact = 0,
    kCleanFailure = 1,
    kPartialKept = 2,
    kCorruptSuccess = 10,
    kBadLeftover = 11,
    kSetupFailed = 12
};

const char* verdictName(int v) {
    switch (v) {
        case kIntact:
            return "intact";
        case kCleanFailure:
            return "failed, no file";
        case kPartialKept:
            return "failed, received blocks kept";
        case kCorruptSuccess:
            return "DAMAGED FILE REPORTED AS SUCCESS";
        case kBadLeftover:
            return "FAILED WITH A DAMAGED FILE LEFT";
        default:
            return "set-up failed";
    }
}

enum class Mode {
    FromSx,   // our receiver, XMODEM/CRC from sx
    ToRx,     // our sender to rx -c
    FromSbG,  // our receiver asking sb for YMODEM-G streaming
};

const char* modeName(Mode m) {
    switch (m) {
        case Mode::FromSx:
            return "receive from sx";
        case Mode::ToRx:
            return "send to rx";
        default:
            return "YMODEM-G from sb";
    }
}

struct NoiseRun {
    uint32_t seed;
    Mode mode;
    double scale = 1;  // multiplies the fault rates
};

// Blocks see a fault every few thousand bytes. The one-byte answers are only
// lost, never altered: a NAK turned into ACK (or a doubled ACK) makes any
// XMODEM sender skip a block, and when that is the last block no receiver can
// tell, since plain XMODEM carries no length.
RelayOptions noisy(uint32_t seed, bool blocksFromPeer, double scale) {
    RelayOptions opt;
    opt.discardUntil = kAnnounceEnd;
    opt.holdMs = 150;
    stktest::LineNoise blocks{seed, scale / 6000, scale / 6000, scale / 3000};
    stktest::LineNoise answers{seed * 7919u + 1, scale / 100, 0, 0};
    opt.toLine = blocksFromPeer ? blocks : answers;
    opt.toPeer = blocksFromPeer ? answers : blocks;
    return opt;
}

int classify(int rc, bool exists, const std::string& got, const std::string& data) {
    if (rc == 0) {
        if (!exists) return kCorruptSuccess;
        return isPadded(got, data, 128) ? kIntact : kCorruptSuccess;
    }
    if (!exists) return kCleanFailure;
    // Kept blocks must be the file's own first blocks.
    if (got.size() <= data.size() + 127 && got.size() % 128 == 0) {
        std::string padded = data;
        padded.append((128 - padded.size() % 128) % 128, char(kSUB));
        if (padded.compare(0, got.size(), got) == 0) return kPartialKept;
    }
    return kBadLeftover;
}

// One seeded transfer in this (child) process; returns the verdict.
int runOne(const NoiseRun& run, std::string* note) {
    HostLineBoard board;
    if (!board.ok()) return kSetupFailed;
    std::string peerDir = stktest::makeTempDir("stknoise-");
    std::string data = stktest::randomBytes(run.scale > 1 ? 1500 : 3000, run.seed);
    LinePeer peer;
    int verdict = kSetupFailed;
    if (run.mode == Mode::FromSbG) {
        stktest::writeHostFile(peerDir + "/x.bin", data);
        if (peer.startProgram(board.lineFd(), peerDir, {"sb", "-k", "x.bin"},
                              noisy(run.seed, true, run.scale))) {
            int rc = xmodem("-rbg");
            // After our cancel sb still waits a minute for an answer to its EOT.
            peer.wait(3000);
            bool exists = board.exists("x.bin");
            std::string got = exists ? board.readFile("x.bin") : "";
            // The header gives the length: no padding to allow for. Streaming
            // has no retry, so any damaged block must end the transfer.
            if (rc == 0)
                verdict = got == data ? kIntact : kCorruptSuccess;
            else if (!exists)
                verdict = kCleanFailure;
            else if (got.size() <= data.size() && data.compare(0, got.size(), got) == 0)
                verdict = kPartialKept;  // what arrived before the line went quiet
            else
                verdict = kBadLeftover;
            *note = "result " + std::to_string(rc) + ", " +
                    (exists ? std::to_string(got.size()) + " bytes" : "no file");
        }
    } else if (run.mode == Mode::FromSx) {
        stktest::writeHostFile(peerDir + "/x.bin", data);
        if (peer.startProgram(board.lineFd(), peerDir, {"sx", "x.bin"},
                              noisy(run.seed, true, run.scale))) {
            int rc = xmodem("-cbre x.bin");
            peer.wait(60000);
            bool exists = board.exists("x.bin");
            std::string got = exists ? board.readFile("x.bin") : "";
            verdict = classify(rc, exists, got, data);
            *note = "result " + std::to_string(rc) + ", " +
                    (exists ? std::to_string(got.size()) + " bytes" : "no file");
        }
    } else {
        board.writeFile("x.bin", data);
        if (peer.startProgram(board.lineFd(), peerDir, {"rx", "-c", "x.bin"},
                              noisy(run.seed, false, run.scale))) {
            int rc = xmodem("-sbk x.bin");
            int peerRc = peer.wait(60000);
            std::string got = stktest::readHostFile(peerDir + "/x.bin");
            // Both ends saying success must mean the same file on both sides.
            if (rc == 0 && peerRc == 0)
                verdict = isPadded(got, data, 1024) ? kIntact : kCorruptSuccess;
            else
                verdict = kCleanFailure;
            *note = "result " + std::to_string(rc) + ", rx " + std::to_string(peerRc);
        }
    }
    stktest::removeTree(peerDir);
    return verdict;
}

class InteropNoise : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!stktest::programsAvailable({"sx", "rx", "sb"})) GTEST_SKIP() << "lrzsz missing";
        if (!stktest::xmodemEngineAvailable()) GTEST_SKIP() << "transfer command not built yet";
    }

    // Runs every seed in its own child process, `parallel` at a time.
    void runAll(const std::vector<NoiseRun>& runs, size_t parallel, int minIntact) {
        int intact = 0;
        for (size_t first = 0; first < runs.size(); first += parallel) {
            std::vector<std::pair<pid_t, int>> children;  // pid, read end of its report
            for (size_t i = first; i < runs.size() && i < first + parallel; ++i) {
                int fds[2];
                ASSERT_EQ(::pipe(fds), 0);
                pid_t pid = ::fork();
                if (pid == 0) {
                    ::close(fds[0]);
                    std::string note;
                    int v = runOne(runs[i], &note);
                    std::string line = std::to_string(v) + " " + note;
                    [[maybe_unused]] ssize_t w = ::write(fds[1], line.data(), line.size());
                    ::close(fds[1]);
                    ::_exit(0);
                }
                ::close(fds[1]);
                ASSERT_GT(pid, 0);
                children.push_back({pid, fds[0]});
            }
            for (size_t k = 0; k < children.size(); ++k) {
                const NoiseRun& run = runs[first + k];
                int status = reapChild(children[k].first, 150000);
                char buf[256] = {};
                [[maybe_unused]] ssize_t n = ::read(children[k].second, buf, sizeof buf - 1);
                ::close(children[k].second);
                int verdict = buf[0] ? std::atoi(buf) : kSetupFailed;
                std::string what = std::string(modeName(run.mode)) + " seed " +
                                   std::to_string(run.seed) + ": " + verdictName(verdict) + " (" +
                                   buf + ", exit " + std::to_string(status) + ")";
                std::fprintf(stderr, "  %s\n", what.c_str());
                EXPECT_LT(verdict, kCorruptSuccess) << what;
                if (verdict == kIntact) ++intact;
            }
        }
        // Recovery must still work at these rates; all failing would mean
        // the test no longer exercises it.
        EXPECT_GE(intact, minIntact);
    }
};

TEST_F(InteropNoise, ReceiveFromSxNeverReportsADamagedFile) {
    std::vector<NoiseRun> runs;
    for (uint32_t seed = 1; seed <= 16; ++seed) runs.push_back({seed, Mode::FromSx});
    runAll(runs, 8, 8);
}

// Rates at which some transfers give up: those must fail cleanly.
TEST_F(InteropNoise, HeavyNoiseEndsInCleanFailuresOrIntactFiles) {
    std::vector<NoiseRun> runs;
    uint32_t from = 201, to = 208;
    if (const char* only = std::getenv("STK_NOISE_SEED")) from = to = uint32_t(std::atoi(only));
    for (uint32_t seed = from; seed <= to; ++seed) runs.push_back({seed, Mode::FromSx, 5});
    runAll(runs, 8, 1);
}

TEST_F(InteropNoise, SendToRxNeverEndsWithDifferentFilesOnBothSides) {
    std::vector<NoiseRun> runs;
    for (uint32_t seed = 101; seed <= 108; ++seed) runs.push_back({seed, Mode::ToRx});
    runAll(runs, 8, 4);
}

// Streaming has no second chance: every fault must end in a clean failure.
TEST_F(InteropNoise, YmodemGStreamingNeverKeepsADamagedFile) {
    std::vector<NoiseRun> runs;
    uint32_t from = 301, to = 308;
    if (const char* only = std::getenv("STK_NOISE_SEED")) from = to = uint32_t(std::atoi(only));
    for (uint32_t seed = from; seed <= to; ++seed) runs.push_back({seed, Mode::FromSbG, 0.5});
    runAll(runs, 8, 0);
}

}  // namespace
