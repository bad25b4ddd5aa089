// Host console devices: the process's standard input/output, a pseudo-terminal
// whose slave a terminal program or lrzsz attaches to, or a serial device.
//
// On a terminal or serial device the option bits map onto termios, so the host
// line discipline does echo and line editing. On a pseudo-terminal our end is
// the master, where no line discipline runs on the operator's input; there the
// console's software line discipline carries out the same options, as on the
// board's UART.
#include "platform/host/host_console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/host/board.h"
#include "platform/line_console.h"

namespace plat {

namespace {

struct BaudEntry {
    int bps;
    speed_t code;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool baudCode(int bps, speed_t* code) {
    for (const auto& e : kBauds)
        if (e.bps == bps) {
            *code = e.code;
            return true;
        }
    return false;
}

int baudValue(speed_t code) {
    for (const auto& e : kBauds)
        if (e.code == code) return e.bps;
    return -1;
}

// The host terminal's own settings, put back when the program ends: state of
// the host process, not of the board, so a board reset leaves it alone.
struct termios savedStdin;
bool stdinSaved = false;
void restoreStdin() {
    if (stdinSaved) ::tcsetattr(0, TCSANOW, &savedStdin);
}

long writeAllFd(int fd, const char* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            struct pollfd pw {
                fd, POLLOUT, 0
            };
            ::poll(&pw, 1, 100);
            continue;
        }
        if (w <= 0) return -1;
        done += size_t(w);
    }
    return long(n);
}

// Waits for input on fd for up to timeoutUs of the board's clock (< 0: no
// limit): true when it is readable (or has hung up, for the read to tell).
bool pollReadable(int fd, int64_t timeoutUs) {
    Clock& clock = board().clock();
    uint64_t deadline = timeoutUs < 0 ? 0 : clock.nowUs() + uint64_t(timeoutUs);
    for (;;) {
        int ms = -1;
        if (timeoutUs >= 0) {
            uint64_t now = clock.nowUs();
            ms = now >= deadline ? 0 : int((deadline - now + 999) / 1000);
        }
        struct pollfd p {
            fd, POLLIN, 0
        };
        int r = ::poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
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

// The master side of a pseudo-terminal: a raw line under the console's
// software line discipline. The master runs in packet mode, so that each read
// says whether it carries data or a notice that the other side flushed.
class PtyLine : public RawLine {
  public:
    PtyLine(int master, int hold) : master_(master), hold_(hold) {
        int on = 1;
        ::ioctl(master_, TIOCPKT, &on);
    }
    ~PtyLine() override {
        if (hold_ >= 0) ::close(hold_);
        ::close(master_);
    }

    bool waitByte(int64_t timeoutUs) override { return waitFor(timeoutUs, false) == kLineByte; }
    int waitByteOrFlush(int64_t timeoutUs) override { return waitFor(timeoutUs, true); }

    size_t readSome(uint8_t* buf, size_t n) override {
        // Whatever the line holds comes in one call, so that the byte-wise
        // reads of a transfer cost no system call each.
        while (have_ == got_) readPacket();
        size_t k = std::min(n, got_ - have_);
        std::memcpy(buf, packet_ + have_, k);
        have_ += k;
        return k;
    }

    bool writeAll(const uint8_t* buf, size_t n) override {
        // The other side's flushes count from the last write on: one after it
        // threw away what was written, or what was sent in answer to it.
        takeNotices();
        flushes_ = 0;
        return writeAllFd(master_, reinterpret_cast<const char*>(buf), n) >= 0;
    }

    // What was written waits in the other side's input queue until the
    // program there reads it; a hang-up (this process ending) would throw it
    // away. A program that reads nothing is given a few seconds.
    void drain() override {
        Clock& clock = board().clock();
        uint64_t until = clock.nowUs() + kDrainLimitUs;
        int queued = 0;
        while (::ioctl(hold_, FIONREAD, &queued) == 0 && queued > 0 && clock.nowUs() < until)
            clock.sleepUs(10000);
    }

    void discardInput() override {
        have_ = got_ = 0;
        // The other side's flushes before this one are of no concern to what follows.
        takeNotices();
        flushes_ = 0;
        // An empty queue needs no flush; the terminal's flush waits for its
        // receive worker and would stall a transfer now and then.
        struct pollfd p {
            master_, POLLIN, 0
        };
        if (::poll(&p, 1, 0) == 1) ::tcflush(master_, TCIFLUSH);
    }

    int setBaud(int bps) override {
        speed_t code;
        struct termios t;
        if (!baudCode(bps, &code) || ::tcgetattr(master_, &t) != 0) return -1;
        ::cfsetispeed(&t, code);
        ::cfsetospeed(&t, code);
        return ::tcsetattr(master_, TCSADRAIN, &t) == 0 ? 0 : -1;
    }

    int getBaud(int* bps) override {
        struct termios t;
        if (::tcgetattr(master_, &t) != 0) return -1;
        int v = baudValue(::cfgetospeed(&t));
        if (v < 0) return -1;
        *bps = v;
        return 0;
    }

  private:
    static constexpr uint64_t kDrainLimitUs = 3000000;

    // A LineWait; the other side's flushes end it only when flushesEnd.
    int waitFor(int64_t timeoutUs, bool flushesEnd) {
        Clock& clock = board().clock();
        uint64_t deadline = timeoutUs < 0 ? 0 : clock.nowUs() + uint64_t(timeoutUs);
        for (;;) {
            if (have_ < got_) return kLineByte;
            int flushes = flushesEnd ? std::exchange(flushes_, 0) : 0;
            if (flushes & TIOCPKT_FLUSHWRITE) return kPeerDroppedItsOutput;
            if (flushes & TIOCPKT_FLUSHREAD) return kPeerDroppedItsInput;
            int64_t left = -1;
            if (timeoutUs >= 0) {
                uint64_t now = clock.nowUs();
                left = now >= deadline ? 0 : int64_t(deadline - now);
            }
            if (!pollReadable(master_, left)) return kLineTimedOut;
            readPacket();
        }
    }

    // Takes the notices waiting on the master, leaving its data alone (a
    // notice comes before data, and a read of one byte carries no data).
    void takeNotices() {
        struct pollfd p {
            master_, POLLPRI, 0
        };
        uint8_t status;
        while (::poll(&p, 1, 0) == 1 && (p.revents & POLLPRI) && ::read(master_, &status, 1) == 1)
            flushes_ |= status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE);
    }

    // One read of the master (blocking): data, or a notice. Of the notices
    // only the other side's flushes matter; those of flow control do not.
    void readPacket() {
        ssize_t r = ::read(master_, packet_, sizeof packet_);
        if (r > 1 && packet_[0] == TIOCPKT_DATA) {
            have_ = 1;
            got_ = size_t(r);
        } else if (r == 1) {
            flushes_ |= packet_[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE);
        } else if (!(r < 0 && (errno == EINTR || errno == EAGAIN))) {
            endOfInput();
        }
    }

    int master_;
    int hold_;
    uint8_t packet_[4097];  // the packet byte, then the data
    size_t have_ = 0, got_ = 0;
    int flushes_ = 0;  // the other side's flushes noticed and not yet reported
};

class PtyConsole : public LineConsole {
  public:
    explicit PtyConsole(std::unique_ptr<PtyLine> line)
        : LineConsole(*line), line_(std::move(line)) {}

  private:
    std::unique_ptr<PtyLine> line_;
};

// Start-up waits until a terminal program holds the pseudo-terminal: until
// then the master reports a hang-up, and an auto-boot would run out unseen.
void waitForTerminal(int master, const std::string& name) {
    struct pollfd p = {master, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) {
        std::fprintf(stderr, "stkboot: waiting for a terminal on %s\n", name.c_str());
        std::fflush(stderr);
        while (::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) ::usleep(20000);
    }
    std::fflush(stderr);
}

}  // namespace

ConsoleDevice* ptyMasterConsole(int master, int heldSlave) {
    return new PtyConsole(std::make_unique<PtyLine>(master, heldSlave));
}

bool hostStdinIsTerminal() {
    return ::isatty(0) == 1;
}

ConsoleDevice* openHostConsole(const char* spec, char* err, size_t errSize) {
    std::string s = spec ? spec : "stdio";
    if (s == "stdio") {
        bool tty = ::isatty(0);
        if (tty && ::tcgetattr(0, &savedStdin) == 0 && !stdinSaved) {
            stdinSaved = true;
            std::atexit(restoreStdin);
        }
        return new FdConsole(0, 1, tty);
    }
    if (s == "pty") {
        int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            std::snprintf(err, errSize, "cannot open a pseudo-terminal: %s", std::strerror(errno));
            return nullptr;
        }
        const char* found = ::ptsname(master);
        std::string name = found ? found : "";
        // The line starts raw at 9600 bit/s; the settings stay with the
        // terminal while the master is open, whoever opens the other side.
        int slave = name.empty() ? -1 : ::open(name.c_str(), O_RDWR | O_NOCTTY);
        if (slave < 0) {
            std::snprintf(err, errSize, "cannot open the pseudo-terminal %s: %s", name.c_str(),
                          std::strerror(errno));
            ::close(master);
            return nullptr;
        }
        struct termios t;
        if (::tcgetattr(slave, &t) == 0) {
            ::cfmakeraw(&t);
            ::cfsetispeed(&t, B9600);
            ::cfsetospeed(&t, B9600);
            ::tcsetattr(slave, TCSANOW, &t);
        }
        ::close(slave);
        std::fprintf(stderr, "stkboot: console on %s\n", name.c_str());
        waitForTerminal(master, name);
        // From now on a descriptor of our own keeps the master from seeing a
        // hang-up when the terminal program goes away for a while.
        return ptyMasterConsole(master, ::open(name.c_str(), O_RDWR | O_NOCTTY));
    }
    // Anything but a terminal or another character device would be written
    // over with console output.
    struct stat st;
    if (::stat(s.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) {
        std::snprintf(err, errSize, "cannot use console %s: not a terminal or character device",
                      s.c_str());
        return nullptr;
    }
    int fd = ::open(s.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::snprintf(err, errSize, "cannot open console %s: %s", s.c_str(), std::strerror(errno));
        return nullptr;
    }
    bool tty = ::isatty(fd);
    return new FdConsole(fd, fd, tty);
}

}  // namespace plat
