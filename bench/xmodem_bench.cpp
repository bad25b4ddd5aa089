// Steady-state XMODEM-1K throughput of our engines against lrzsz's own, over
// the same pseudo-terminal and relay as the interop tests, in real time.
//
// Receive: sx -k sends to our receiver, and to lrzsz's rx -c, in the same run.
// Send: our sender and lrzsz's sx -k send to rx -c. Each pairing moves a 4 MiB
// and a 16 MiB file; the rate is 12 MiB over the difference of the two times,
// so start-up and end-of-file pauses cancel out (best of two rounds). A ratio
// of 1.0 or more means we keep up with lrzsz.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/pty_harness.h"
#include "xmodem/xmodem.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSmall = 4u << 20, kLarge = 16u << 20;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void writeFile(const std::string& path, size_t n) {
    std::string data = stktest::randomBytes(n, uint32_t(n));
    std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
}

std::string scratchDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "stkbenchXXXXXX").string();
    return ::mkdtemp(templ.data()) ? templ : std::string();
}

stktest::RelayOptions afterAnnouncement() {
    stktest::RelayOptions opt;
    opt.discardUntil = "transfer starts.\r\n\r";
    opt.holdMs = 150;
    return opt;
}

// lrzsz at both ends of a pty pair, each through a relay. Returns seconds, or
// a negative value when the transfer failed.
double lrzszPair(size_t n) {
    std::string from = scratchDir(), to = scratchDir();
    writeFile(from + "/f.bin", n);
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master);
    ::unlockpt(master);
    int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    auto t0 = Clock::now();
    double secs = -1;
    {
        stktest::LinePeer sender, receiver;
        if (sender.startProgram(master, from, {"sx", "-k", "f.bin"}) &&
            receiver.startProgram(slave, to, {"rx", "-c", "f.bin"})) {
            int rc = receiver.wait(300000);
            secs = secondsSince(t0);
            if (sender.wait(10000) != 0 || rc != 0) secs = -1;
        }
    }
    ::close(slave);
    ::close(master);
    std::filesystem::remove_all(from);
    std::filesystem::remove_all(to);
    return secs;
}

// Our receiver (the boot program's 1K form without the 'K') against sx -k.
double ourReceive(size_t n) {
    std::string from = scratchDir();
    writeFile(from + "/f.bin", n);
    double secs = -1;
    {
        stktest::HostLineBoard board;
        stktest::LinePeer sender;
        if (board.ok() &&
            sender.startProgram(board.lineFd(), from, {"sx", "-k", "f.bin"}, afterAnnouncement())) {
            auto t0 = Clock::now();
            int rc = xmodem("-cbre f.bin");
            int peerRc = sender.wait(300000);
            secs = secondsSince(t0);
            if (rc != 0 || peerRc != 0) secs = -1;
        }
    }
    std::filesystem::remove_all(from);
    return secs;
}

// Our sender (the boot program's event log form) against rx -c.
double ourSend(size_t n) {
    std::string to = scratchDir();
    double secs = -1;
    {
        stktest::HostLineBoard board;
        stktest::LinePeer receiver;
        if (board.ok()) {
            writeFile(board.hostPath("f.bin"), n);
            if (receiver.startProgram(board.lineFd(), to, {"rx", "-c", "f.bin"},
                                      afterAnnouncement())) {
                auto t0 = Clock::now();
                int rc = xmodem("cbske f.bin");
                int peerRc = receiver.wait(300000);
                secs = secondsSince(t0);
                if (rc != 0 || peerRc != 0) secs = -1;
            }
        }
    }
    std::filesystem::remove_all(to);
    return secs;
}

// Keeps the shorter time; one failed transfer (negative) fails the pairing.
void keepBest(double& best, double secs) {
    if (best >= 0) best = secs < 0 ? -1 : std::min(best, secs);
}

// MiB/s from the 4 MiB and 16 MiB times.
double steadyRate(double small, double large) {
    if (small < 0 || large <= small) return -1;
    return double(kLarge - kSmall) / (1 << 20) / (large - small);
}

void BM_XmodemAgainstLrzsz(benchmark::State& state) {
    if (!stktest::programsAvailable({"sx", "rx"})) {
        state.SkipWithError("lrzsz is not installed");
        return;
    }
    for (auto _ : state) {
        // The three pairings take turns, and each time is the best of two
        // rounds, so that a busy moment of the machine falls on all of them
        // alike rather than on whichever pairing happened to run then.
        constexpr double kNone = 1e9;
        double refSmall = kNone, refLarge = kNone, rcvSmall = kNone, rcvLarge = kNone,
               sndSmall = kNone, sndLarge = kNone;
        for (int round = 0; round < 2; ++round) {
            for (size_t n : {kSmall, kLarge}) {
                bool small = n == kSmall;
                keepBest(small ? refSmall : refLarge, lrzszPair(n));
                keepBest(small ? rcvSmall : rcvLarge, ourReceive(n));
                keepBest(small ? sndSmall : sndLarge, ourSend(n));
            }
        }
        double ref = steadyRate(refSmall, refLarge);
        double rcv = steadyRate(rcvSmall, rcvLarge);
        double snd = steadyRate(sndSmall, sndLarge);
        std::printf("\nXMODEM-1K over a pty and relay, 12 MiB steady state (4 and 16 MiB runs)\n");
        std::printf("  lrzsz sx -k -> rx -c : %6.2f MiB/s  (%.2f s, %.2f s)\n", ref, refSmall,
                    refLarge);
        std::printf("  sx -k -> our receiver: %6.2f MiB/s  (%.2f s, %.2f s)  ratio %.2fx\n", rcv,
                    rcvSmall, rcvLarge, ref > 0 && rcv > 0 ? rcv / ref : 0.0);
        std::printf("  our sender -> rx -c  : %6.2f MiB/s  (%.2f s, %.2f s)  ratio %.2fx\n", snd,
                    sndSmall, sndLarge, ref > 0 && snd > 0 ? snd / ref : 0.0);
        state.SetIterationTime(refLarge + rcvLarge + sndLarge);
        state.counters["receive_ratio"] = ref > 0 && rcv > 0 ? rcv / ref : 0.0;
        state.counters["send_ratio"] = ref > 0 && snd > 0 ? snd / ref : 0.0;
        state.counters["lrzsz_MiBps"] = ref;
        if (ref < 0 || rcv < 0 || snd < 0) state.SkipWithError("a transfer failed");
    }
}
BENCHMARK(BM_XmodemAgainstLrzsz)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
