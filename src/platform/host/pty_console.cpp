// The console on the master side of a pseudo-terminal, whose slave a
// terminal program or lrzsz attaches to. No line discipline runs on the
// operator's input at the master: the console's software line discipline
// carries out the option bits, as on the board's UART.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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
#include "platform/host/board.h"
#include "platform/host/host_console.h"
#include "platform/host/host_lines.h"
#include "platform/line_console.h"

namespace plat {

namespace {

using namespace hostline;

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

namespace {
char consoleLink[4096];  // the link made to the pseudo-terminal, while it exists

// A symbolic link `link` to the pseudo-terminal `name`, in place of an old
// link; anything else of that name stays. The link's path: "" when none.
std::string makeConsoleLink(const std::string& link, const std::string& name) {
    struct stat st;
    if (link.empty() || link.size() >= sizeof consoleLink) return "";
    bool old = ::lstat(link.c_str(), &st) == 0;
    if (old && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "stkboot: %s is not a link; the console has no second name\n",
                     link.c_str());
        return "";
    }
    if ((old && ::unlink(link.c_str()) != 0) || ::symlink(name.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "stkboot: cannot make the link %s: %s\n", link.c_str(),
                     std::strerror(errno));
        return "";
    }
    std::snprintf(consoleLink, sizeof consoleLink, "%s", link.c_str());
    std::atexit(removeConsoleLink);
    return link;
}
}  // namespace

void removeConsoleLink() {
    if (consoleLink[0]) ::unlink(consoleLink);
    consoleLink[0] = '\0';
}

ConsoleDevice* hostline::openPtyConsole(char* err, size_t errSize, const std::string& ptyLink) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
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
    std::string link = makeConsoleLink(ptyLink, name);
    std::fprintf(stderr, "stkboot: console on %s%s%s%s\n", name.c_str(),
                 link.empty() ? "" : " (also ", link.c_str(), link.empty() ? "" : ")");
    waitForTerminal(master, name);
    // From now on a descriptor of our own keeps the master from seeing a
    // hang-up when the terminal program goes away for a while.
    return ptyMasterConsole(master, ::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
}

}  // namespace plat
