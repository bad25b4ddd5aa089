// Host console devices: the process's standard input/output or a serial
// device, where the option bits map onto termios so that the host's line
// discipline does echo and line editing; a pseudo-terminal is in
// pty_console.cpp.
#include "platform/host/host_console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/host/board.h"
#include "platform/host/host_lines.h"

namespace plat {

namespace {

using namespace hostline;

// The host terminal's own settings, put back when the program ends: state of
// the host process, not of the board, so a board reset leaves it alone.
struct termios savedStdin;
bool stdinSaved = false;
void restoreStdin() {
    if (stdinSaved) ::tcsetattr(0, TCSANOW, &savedStdin);
}

// The process's standard input and output, a terminal or a serial device:
// the option bits map onto termios, whose line discipline does the rest. A
// pipe has no line discipline: its bytes pass as they are.
class FdConsole : public ConsoleDevice {
  public:
    FdConsole(int inFd, int outFd, bool tty) : in_(inFd), out_(outFd), tty_(tty) {
        if (tty_) {
            struct termios t;
            if (::tcgetattr(in_, &t) == 0) speed_ = baudValue(::cfgetospeed(&t));
        }
        struct stat st;
        ptySlave_ = tty_ && ::fstat(out_, &st) == 0 && S_ISCHR(st.st_mode) &&
                    major(st.st_rdev) >= kPtySlaveMajor && major(st.st_rdev) < kPtySlaveMajor + 8;
        setOptions(OPT_TERMINAL);
    }

    int waitReadable(int64_t timeoutUs) override {
        if (!ready_.empty()) return 1;
        return pollReadable(in_, timeoutUs) ? 1 : 0;
    }

    long read(void* buf, size_t n) override {
        if (n == 0) return 0;
        if (!ready_.empty()) {
            size_t k = std::min(n, ready_.size());
            std::memcpy(buf, ready_.data(), k);
            ready_.erase(0, k);
            return long(k);
        }
        // In transfer mode take whatever the line holds in one call, so that
        // the byte-wise reads of a block's number, check and answer cost no
        // system call each. The rest waits in ready_, which an input flush
        // empties as it empties the terminal's queue (a pipe has no queue to
        // flush, so there nothing is read ahead).
        char ahead[4096];
        bool readAhead = tty_ && opts_ == OPT_RAW && n < sizeof ahead;
        char* dst = readAhead ? ahead : static_cast<char*>(buf);
        size_t want = dst == ahead ? sizeof ahead : n;
        for (;;) {
            ssize_t r = ::read(in_, dst, want);
            if (r > 0) {
                if (dst != ahead) return long(r);
                size_t k = std::min(n, size_t(r));
                std::memcpy(buf, ahead, k);
                ready_.append(ahead + k, size_t(r) - k);
                return long(k);
            }
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            endOfInput();
        }
    }

    long write(const void* buf, size_t n) override {
        return writeAllFd(out_, static_cast<const char*>(buf), n);
    }

    int options() const override { return opts_; }

    int setOptions(int opts) override {
        opts_ = opts;
        if (!tty_) return 0;
        struct termios t;
        if (::tcgetattr(in_, &t) != 0) return -1;
        if ((opts & (OPT_LINE | OPT_ECHO | OPT_CRMOD)) == 0) {
            ::cfmakeraw(&t);
        } else {
            t.c_lflag = (opts & OPT_LINE) ? (ICANON | ISIG) : 0;
            if (opts & OPT_ECHO) t.c_lflag |= ECHO | ECHOE | ECHOK;
            t.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP);
            if (opts & OPT_CRMOD) t.c_iflag |= ICRNL;
            if (opts & OPT_TANDEM) t.c_iflag |= IXON | IXOFF;
            if (opts & OPT_7_BIT) t.c_iflag |= ISTRIP;
            t.c_oflag = (opts & OPT_CRMOD) ? (OPOST | ONLCR) : 0;
            t.c_cflag |= CREAD | CS8;
            t.c_cc[VMIN] = 1;
            t.c_cc[VTIME] = 0;
        }
        return ::tcsetattr(in_, TCSADRAIN, &t) == 0 ? 0 : -1;
    }

    int setBaud(int bps) override {
        speed_t code;
        if (!baudCode(bps, &code)) return -1;
        if (tty_) {
            struct termios t;
            if (::tcgetattr(in_, &t) != 0) return -1;
            ::cfsetispeed(&t, code);
            ::cfsetospeed(&t, code);
            if (::tcsetattr(in_, TCSADRAIN, &t) != 0) return -1;
        }
        speed_ = bps;
        return 0;
    }

    int getBaud(int* bps) override {
        if (tty_) {
            struct termios t;
            if (::tcgetattr(in_, &t) != 0) return -1;
            int v = baudValue(::cfgetospeed(&t));
            if (v < 0) return -1;
            *bps = v;
            return 0;
        }
        if (speed_ < 0) return -1;
        *bps = speed_;
        return 0;
    }

    int flush(bool input, bool output) override {
        if (input) ready_.clear();
        // What a pseudo-terminal was given has left already: it waits in the
        // other side's input queue, where a serial line's far end would have
        // it by now. Flushing there would take back text the peer may not
        // have read yet (an announcement before a transfer).
        output = output && !ptySlave_;
        if (!tty_ || !(input || output)) return 0;
        int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        return ::tcflush(in_, which) == 0 ? 0 : -1;
    }

    void drain() override {
        if (tty_) ::tcdrain(out_);
    }

  private:
    static constexpr unsigned kPtySlaveMajor = 136;  // device numbers of /dev/pts/N
    int in_, out_;
    bool tty_;
    bool ptySlave_ = false;
    int opts_ = OPT_TERMINAL;
    int speed_ = 9600;
    std::string ready_;  // bytes read ahead in transfer mode
};

}  // namespace

bool hostStdinIsTerminal() {
    return ::isatty(0) == 1;
}

bool checkHostConsole(const char* spec, char* err, size_t errSize) {
    std::string s = spec;
    if (s == "stdio" || s == "pty") return true;
    // Anything but a terminal or another character device would be written
    // over with console output.
    struct stat st;
    if (::stat(s.c_str(), &st) != 0 || ::access(s.c_str(), R_OK | W_OK) != 0) {
        std::snprintf(err, errSize, "cannot open console %s: %s", s.c_str(), std::strerror(errno));
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        std::snprintf(err, errSize, "cannot use console %s: not a terminal or character device",
                      s.c_str());
        return false;
    }
    return true;
}

ConsoleDevice* openHostConsole(const char* spec, char* err, size_t errSize,
                               const std::string& ptyLink) {
    std::string s = spec ? spec : "stdio";
    if (s == "stdio") {
        bool tty = ::isatty(0);
        if (tty && ::tcgetattr(0, &savedStdin) == 0 && !stdinSaved) {
            stdinSaved = true;
            std::atexit(restoreStdin);
        }
        return new FdConsole(0, 1, tty);
    }
    if (s == "pty") return hostline::openPtyConsole(err, errSize, ptyLink);
    if (!checkHostConsole(s.c_str(), err, errSize)) return nullptr;
    int fd = ::open(s.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(err, errSize, "cannot open console %s: %s", s.c_str(), std::strerror(errno));
        return nullptr;
    }
    bool tty = ::isatty(fd);
    return new FdConsole(fd, fd, tty);
}

}  // namespace plat
