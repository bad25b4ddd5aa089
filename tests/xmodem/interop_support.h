// Shared pieces of the interop tests: file sizes, padding rules, the
// scripted ends of the line and a forked second board.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "support/pty_harness.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace interop {

inline const std::vector<size_t> kSizes = {0, 1, 127, 128, 129, 1023, 1024, 1025};
constexpr size_t kBigSize = 4u << 20;
constexpr uint8_t kSOH = 0x01, kSTX = 0x02, kEOT = 0x04, kACK = 0x06, kNAK = 0x15, kCAN = 0x18,
                  kSUB = 0x1a;

// The last line of the announcement; what follows is protocol.
inline const char kAnnounceEnd[] = "transfer starts.\r\n\r";

inline std::string sizeName(size_t n) {
    return "f" + std::to_string(n);
}

// XMODEM keeps the sender's padding: data, then SUB bytes up to the end of
// the last block (a whole number of 128-byte sectors, less than one block).
inline ::testing::AssertionResult isPadded(const std::string& got, const std::string& data,
                                           size_t maxBlock) {
    if (got.size() < data.size() || got.compare(0, data.size(), data) != 0)
        return ::testing::AssertionFailure()
               << "data differs (got " << got.size() << " bytes for " << data.size() << ")";
    if (got.size() % 128 != 0 || got.size() - data.size() >= maxBlock)
        return ::testing::AssertionFailure()
               << "padding of " << got.size() - data.size() << " bytes for " << data.size();
    for (size_t i = data.size(); i < got.size(); ++i)
        if (uint8_t(got[i]) != kSUB)
            return ::testing::AssertionFailure() << "padding byte " << i << " is not SUB";
    return ::testing::AssertionSuccess();
}

inline uint16_t crc16(const std::string& data) {
    uint16_t crc = 0;
    for (unsigned char c : data) {
        crc ^= uint16_t(c << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

inline uint8_t sum8(const std::string& data) {
    uint8_t s = 0;
    for (unsigned char c : data) s = uint8_t(s + c);
    return s;
}

// One block as it travels, from the published format.
inline std::string block(uint8_t number, const std::string& data, bool crc) {
    std::string b;
    b.push_back(char(data.size() == 1024 ? kSTX : kSOH));
    b.push_back(char(number));
    b.push_back(char(255 - number));
    b += data;
    if (crc) {
        uint16_t c = crc16(data);
        b.push_back(char(c >> 8));
        b.push_back(char(c & 0xff));
    } else {
        b.push_back(char(sum8(data)));
    }
    return b;
}

// Reads one block after its start byte (SOH or STX); checks number and
// check value. Returns false on time-out or mismatch.
inline bool readBlock(stktest::Wire& w, int start, bool crc, uint8_t* number, std::string* data) {
    size_t n = start == kSTX ? 1024 : 128;
    int a = w.get(3000), b = w.get(3000);
    if (a < 0 || b < 0 || a + b != 255) return false;
    data->clear();
    for (size_t i = 0; i < n; ++i) {
        int c = w.get(3000);
        if (c < 0) return false;
        data->push_back(char(c));
    }
    if (crc) {
        int hi = w.get(3000), lo = w.get(3000);
        if (hi < 0 || lo < 0 || uint16_t(hi << 8 | lo) != crc16(*data)) return false;
    } else {
        int s = w.get(3000);
        if (s < 0 || uint8_t(s) != sum8(*data)) return false;
    }
    *number = uint8_t(a);
    return true;
}

// Runs fn in a child process that sets up its own board on the slave of a
// pseudo-terminal we opened; *master is our end. fn's result is the exit code.
inline pid_t forkBoard(const std::function<int(stktest::HostLineBoard&)>& fn, int* master) {
    *master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || ::grantpt(*master) != 0 || ::unlockpt(*master) != 0) return -1;
    std::string slave = ::ptsname(*master);
    pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 3;
        {
            stktest::HostLineBoard board(slave);
            if (board.ok()) rc = fn(board);
        }
        ::_exit(rc);
    }
    return pid;
}

inline int reapChild(pid_t pid, int timeoutMs) {
    for (int waited = 0;; waited += 5) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -1;
        if (waited >= timeoutMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(5000);
    }
}

// Our transfer command on a pseudo-terminal board in this process, with an
// lrzsz program on the other end of the line, in a directory of its own.
class EngineInteropTest : public ::testing::Test {
  protected:
    void setUpPeer(std::initializer_list<std::string> programs) {
        if (!stktest::programsAvailable(programs)) GTEST_SKIP() << "lrzsz missing";
        if (!stktest::xmodemEngineAvailable()) GTEST_SKIP() << "transfer command not built yet";
        board_ = std::make_unique<stktest::HostLineBoard>();
        ASSERT_TRUE(board_->ok()) << board_->error();
        peerDir_ = stktest::makeTempDir("stkpeer-");
    }
    void TearDown() override {
        board_.reset();
        if (!peerDir_.empty()) stktest::removeTree(peerDir_);
    }

    // Runs our command while the peer program runs. The peer's bytes wait
    // `holdMs` after the announcement, as when an operator starts it after
    // reading it. The peer's exit code goes to *peerRc.
    int withPeer(const std::string& args, const std::vector<std::string>& peer, int* peerRc,
                 int holdMs, int timeoutMs) {
        stktest::RelayOptions opt;
        opt.discardUntil = kAnnounceEnd;
        opt.holdMs = holdMs;
        stktest::LinePeer p;
        if (!p.startProgram(board_->lineFd(), peerDir_, peer, opt)) return -2;
        int rc = xmodem(args.c_str());
        *peerRc = p.wait(timeoutMs);
        peerErr_ = p.errorText();
        return rc;
    }

    std::unique_ptr<stktest::HostLineBoard> board_;
    std::string peerDir_;
    std::string peerErr_;
};

}  // namespace interop
