#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/platform.h"

// The benchmark program builds this file on its own, without the test set-up.
#ifndef STK_BINARY_DIR
#define STK_BINARY_DIR "."
#endif

namespace stktest {

namespace fs = std::filesystem;

namespace {

uint64_t monoMs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Writes what the descriptor takes now; a socket whose reader has gone gives
// EPIPE instead of a signal.
ssize_t writeSome(int fd, const char* p, size_t n) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    return r < 0 && errno == ENOTSOCK ? ::write(fd, p, n) : r;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A raw terminal at the given speed (0: the speed left as it is).
void makeRaw(int fd, speed_t speed) {
    struct termios t;
    if (::tcgetattr(fd, &t) != 0) return;
    if (speed == 0) speed = ::cfgetospeed(&t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    ::tcsetattr(fd, TCSANOW, &t);
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& dir, int in, int out,
            int err) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // never shares our controlling terminal
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// Applies byte faults to a chunk.
class NoiseSource {
  public:
    explicit NoiseSource(const LineNoise& n) : n_(n), rng_(n.seed) {}
    void apply(const char* p, size_t len, std::string& out) {
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (size_t i = 0; i < len; ++i) {
            double x = n_.dropRate + n_.duplicateRate + n_.corruptRate > 0 ? u(rng_) : 1;
            if (x < n_.dropRate) continue;
            if (x < n_.dropRate + n_.duplicateRate) out.push_back(p[i]);
            bool corrupt = x >= n_.dropRate + n_.duplicateRate &&
                           x < n_.dropRate + n_.duplicateRate + n_.corruptRate;
            out.push_back(corrupt ? char(uint8_t(p[i]) ^ uint8_t(1 + rng_() % 255)) : p[i]);
        }
    }

  private:
    LineNoise n_;
    std::mt19937 rng_;
};

int reapChild(pid_t pid, int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -1;
        if (monoMs() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

std::string stkbootPath() {
    return std::string(STK_BINARY_DIR) + "/stkboot";
}

std::string stkimagePath() {
    return std::string(STK_BINARY_DIR) + "/stkimage";
}

int runTool(const std::vector<std::string>& argv, std::string* output) {
    std::string cmd;
    for (const auto& a : argv) {
        cmd += " '";
        for (char c : a) cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += "'";
    }
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        if (output) output->append(buf, n);
    int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool programsAvailable(const std::vector<std::string>& names) {
    for (const auto& name : names)
        if (runTool({"sh", "-c", "command -v " + name}) != 0) return false;
    return true;
}

std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(rng() & 0xff);
    return s;
}

// --- Relay ----------------------------------------------------------------------

Relay::Relay(int lineFd, int peerFd, RelayOptions options)
    : lineFd_(lineFd), peerFd_(peerFd), opt_(std::move(options)) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    setNonBlocking(lineFd_);
    setNonBlocking(peerFd_);
    thread_ = std::thread([this] { run(); });
}

Relay::~Relay() {
    stop();
    closeFd(wake_[0]);
    closeFd(wake_[1]);
}

void Relay::stop() {
    stop_ = true;
    if (wake_[1] >= 0) {
        [[maybe_unused]] ssize_t r = ::write(wake_[1], "", 1);
    }
    if (thread_.joinable()) thread_.join();
}

bool Relay::waitPeerDrained(int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    while (!peerDrained_ && monoMs() < deadline) ::usleep(1000);
    return peerDrained_;
}

std::string Relay::lineTranscript() {
    std::lock_guard<std::mutex> lock(mu_);
    return transcript_;
}

void Relay::run() {
    NoiseSource toPeerNoise(opt_.toPeer), toLineNoise(opt_.toLine);
    std::string toPeer, toLine;
    bool discarding = !opt_.discardUntil.empty();
    std::string scan;  // tail of the discarded text, to find the trigger across reads
    uint64_t releaseAt = discarding ? UINT64_MAX : monoMs() + uint64_t(opt_.holdMs);
    bool peerEof = false, lineDead = false;
    char buf[8192];

    while (!stop_) {
        bool holding = monoMs() < releaseAt;
        struct pollfd p[3];
        p[0] = {lineDead ? -1 : lineFd_,
                short(POLLIN | (!holding && !toLine.empty() ? POLLOUT : 0)), 0};
        p[1] = {peerEof && toPeer.empty() ? -1 : peerFd_,
                short((peerEof ? 0 : POLLIN) | (toPeer.empty() ? 0 : POLLOUT)), 0};
        p[2] = {wake_[0], POLLIN, 0};
        if (::poll(p, 3, holding ? 5 : 200) < 0 && errno != EINTR) break;

        if (p[0].revents & POLLIN) {
            ssize_t n = ::read(lineFd_, buf, sizeof buf);
            if (n > 0) {
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    transcript_.append(buf, size_t(n));
                }
                size_t from = 0;
                if (discarding) {
                    scan.append(buf, size_t(n));
                    size_t at = scan.find(opt_.discardUntil);
                    from = size_t(n);
                    if (at != std::string::npos) {
                        from -= scan.size() - (at + opt_.discardUntil.size());
                        discarding = false;
                        releaseAt = monoMs() + uint64_t(opt_.holdMs);
                    } else if (scan.size() > opt_.discardUntil.size()) {
                        scan.erase(0, scan.size() - opt_.discardUntil.size());
                    }
                }
                toPeerNoise.apply(buf + from, size_t(n) - from, toPeer);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                lineDead = true;
            }
        } else if (p[0].revents & (POLLHUP | POLLERR)) {
            ::usleep(2000);  // a pty end reports a hang-up while the other side is closed
        }
        if (p[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(peerFd_, buf, sizeof buf);
            if (n > 0)
                toLineNoise.apply(buf, size_t(n), toLine);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                peerEof = true;
        }
        if (!toPeer.empty()) {
            ssize_t n = writeSome(peerFd_, toPeer.data(), toPeer.size());
            if (n > 0)
                toPeer.erase(0, size_t(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                toPeer.clear();  // the peer has gone
        }
        if (!holding && !toLine.empty() && !lineDead) {
            ssize_t n = writeSome(lineFd_, toLine.data(), toLine.size());
            if (n > 0) {
                toLineCount_ += uint64_t(n);
                toLine.erase(0, size_t(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                lineDead = true;
            }
        }
        if (peerEof && (toLine.empty() || lineDead)) {
            peerDrained_ = true;
            if (lineDead) break;
        }
        if (p[2].revents & POLLIN) {
            char c[16];
            while (::read(wake_[0], c, sizeof c) > 0) {
            }
        }
    }
}

// --- LinePeer -------------------------------------------------------------------

LinePeer::~LinePeer() {
    if (pid_ > 0) reapChild(pid_, 0);
    relay_.reset();
    closeFd(peerFd_);
    if (!errFile_.empty()) ::unlink(errFile_.c_str());
}

void LinePeer::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

bool LinePeer::startProgram(int lineFd, const std::string& workDir,
                            const std::vector<std::string>& argv, const RelayOptions& options) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    peerFd_ = sv[0];
    char errTemplate[] = "/tmp/stkpeer-err-XXXXXX";
    int errFd = ::mkostemp(errTemplate, O_CLOEXEC);
    errFile_ = errTemplate;
    pid_ = errFd < 0 ? -1 : spawn(argv, workDir, sv[1], sv[1], errFd);
    ::close(sv[1]);
    closeFd(errFd);
    if (pid_ < 0) return false;
    relay_ = std::make_unique<Relay>(lineFd, peerFd_, options);
    return true;
}

int LinePeer::wait(int timeoutMs) {
    int result = pid_ > 0 ? reapChild(pid_, timeoutMs) : -1;
    pid_ = -1;
    if (relay_) {
        relay_->waitPeerDrained(1000);
        relay_->stop();
    }
    return result;
}

std::string LinePeer::errorText() const {
    return errFile_.empty() ? std::string() : slurp(errFile_);
}

// --- BootProcess ----------------------------------------------------------------

BootProcess::~BootProcess() {
    if (pid_ > 0) reapChild(pid_, 0);
    closeFd(slave_);
    if (errReader_.joinable()) errReader_.join();
    closeFd(errFd_);
}

bool BootProcess::start(const std::string& boardDir) {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_ = spawn({stkbootPath(), "--console", "pty", "--board", boardDir}, "", devnull, errPipe[1],
                 errPipe[1]);
    closeFd(devnull);
    closeFd(errPipe[1]);
    errFd_ = errPipe[0];
    if (pid_ < 0) return false;
    errReader_ = std::thread([this] {
        char buf[4096];
        for (ssize_t n; (n = ::read(errFd_, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);) {
            std::lock_guard<std::mutex> lock(errMu_);
            err_.append(buf, size_t(std::max<ssize_t>(n, 0)));
        }
    });
    // The pty's name comes on standard error; we hold its slave like a terminal program.
    const std::string mark = "stkboot: console on ";
    if (!expectErr(mark + "/", 10000) || !expectErr("\n", 1000)) return false;
    std::string e = errText();
    size_t at = e.find(mark) + mark.size();
    slave_ = ::open(e.substr(at, e.find('\n', at) - at).c_str(),
                    O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    makeRaw(slave_, 0);
    return slave_ >= 0;
}

bool BootProcess::readMore(int timeoutMs) {
    struct pollfd p {
        slave_, POLLIN, 0
    };
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(slave_, buf, sizeof buf);
    if (n > 0) out_.append(buf, size_t(n));
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return true;
    ::usleep(5000);  // end of output or a hang-up: don't spin on it
    return false;
}

bool BootProcess::expect(const std::string& text, int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    for (;;) {
        size_t at = out_.find(text, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + text.size();
            return true;
        }
        uint64_t now = monoMs();
        if (now >= deadline) return false;
        readMore(int(deadline - now));
    }
}

void BootProcess::send(const std::string& bytes) {
    size_t done = 0;
    for (uint64_t deadline = monoMs() + 10000; done < bytes.size() && monoMs() < deadline;) {
        ssize_t n = ::write(slave_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        else
            readMore(5);  // the line is full: keep reading the echo so the other side goes on
    }
}

std::string BootProcess::errText() {
    std::lock_guard<std::mutex> lock(errMu_);
    return err_;
}

bool BootProcess::expectErr(const std::string& text, int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    while (errText().find(text) == std::string::npos && monoMs() < deadline) ::usleep(2000);
    return errText().find(text) != std::string::npos;
}

int BootProcess::runPeer(const std::string& workDir, const std::vector<std::string>& argv,
                         const RelayOptions& options, std::string* peerErr) {
    LinePeer peer;
    if (!peer.startProgram(slave_, workDir, argv, options)) return -1;
    int rc = peer.wait(60000);
    out_ += peer.relay()->lineTranscript();
    *peerErr = peer.errorText();
    return rc;
}

// --- BriskClock -----------------------------------------------------------------

uint64_t BriskClock::nowUs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u + skipped_;
}

void BriskClock::sleepUs(uint64_t us) {
    if (us >= 1000000u) {
        skipped_ += us;
        return;
    }
    struct timespec ts {
        time_t(0), long(us) * 1000
    };
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

// --- HostLineBoard --------------------------------------------------------------

HostLineBoard::HostLineBoard() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error_ = "cannot open a pseudo-terminal";
        return;
    }
    std::string slavePath = ::ptsname(master_);
    guard_ = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    makeRaw(guard_, B115200);
    char err[256] = {};
    plat::ConsoleDevice* con = plat::openHostConsole(slavePath.c_str(), err, sizeof err);
    std::string templ = (fs::temp_directory_path() / "stkline-XXXXXX").string();
    if (!con || !::mkdtemp(templ.data())) {
        error_ = std::string("cannot set up the board: ") + err;
        return;
    }
    dir_ = templ;
    plat::installBoard(std::make_unique<plat::Board>(std::unique_ptr<plat::ConsoleDevice>(con),
                                                     std::make_unique<BriskClock>(), dir_));
    plat::board().disk().format(nullptr);
    plat::board().disk().mount();
    plat::mkdir("/DskVol/files");
    plat::chdir("/DskVol/files");
    ok_ = true;
}

HostLineBoard::~HostLineBoard() {
    if (plat::boardInstalled()) plat::uninstallBoard();
    closeFd(guard_);
    closeFd(master_);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::string HostLineBoard::hostPath(const std::string& name) const {
    std::string host;
    if (!plat::board().disk().resolve(("/DskVol/files/" + name).c_str(), host))
        return dir_ + "/invalid";
    return host;
}

void HostLineBoard::writeFile(const std::string& name, const std::string& bytes) {
    std::ofstream(hostPath(name), std::ios::binary)
        .write(bytes.data(), std::streamsize(bytes.size()));
}

std::string HostLineBoard::readFile(const std::string& name) const {
    return slurp(hostPath(name));
}

bool HostLineBoard::exists(const std::string& name) const {
    return fs::exists(hostPath(name));
}

}  // namespace stktest
