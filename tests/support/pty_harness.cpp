#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "board/board_devices.h"
#include "bootflash/bootflash.h"
#include "platform/platform.h"
#include "pty_posix.h"

// The benchmark program builds this file on its own, without the test set-up.
#ifndef STK_BINARY_DIR
#define STK_BINARY_DIR "."
#endif

namespace stktest {

namespace fs = std::filesystem;
using namespace posix;

namespace {

std::string tempDir(const char* prefix) {
    std::string templ = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (!::mkdtemp(templ.data())) return std::string();
    return templ;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spill(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Applies byte faults to a chunk.
class NoiseSource {
  public:
    explicit NoiseSource(const LineNoise& n) : n_(n), rng_(n.seed) {}
    void apply(const char* p, size_t len, std::string& out) {
        if (!n_.active()) {
            out.append(p, len);
            return;
        }
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (size_t i = 0; i < len; ++i) {
            double x = u(rng_);
            if (x < n_.dropRate) continue;
            x -= n_.dropRate;
            if (x < n_.duplicateRate) {
                out.push_back(p[i]);
                out.push_back(p[i]);
                continue;
            }
            x -= n_.duplicateRate;
            if (x < n_.corruptRate) {
                out.push_back(char(uint8_t(p[i]) ^ uint8_t(1 + rng_() % 255)));
                continue;
            }
            out.push_back(p[i]);
        }
    }

  private:
    LineNoise n_;
    std::mt19937 rng_;
};

}  // namespace

std::string stkbootPath() {
    return std::string(STK_BINARY_DIR) + "/stkboot";
}

std::string stkimagePath() {
    for (const char* rel : {"/stkimage", "/tools/stkimage/stkimage"}) {
        std::string p = std::string(STK_BINARY_DIR) + rel;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return std::string();
}

int runTool(const std::vector<std::string>& argv, std::string* output) {
    std::string cmd;
    for (const auto& a : argv) {
        cmd += " '";
        for (char c : a) cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += "'";
    }
    cmd += " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        if (output) output->append(buf, n);
    int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool programsAvailable(const std::vector<std::string>& names) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (const auto& name : names) {
        bool found = false;
        size_t start = 0;
        while (!found && start <= dirs.size()) {
            size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            std::string candidate = dirs.substr(start, end - start) + "/" + name;
            found = ::access(candidate.c_str(), X_OK) == 0;
            start = end + 1;
        }
        if (!found) return false;
    }
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
        char c = 0;
        [[maybe_unused]] ssize_t r = ::write(wake_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
}

bool Relay::waitPeerDrained(int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    while (!peerDrained_) {
        if (monoMs() >= deadline) return false;
        ::usleep(1000);
    }
    return true;
}

std::string Relay::lineTranscript() {
    std::lock_guard<std::mutex> lock(mu_);
    return transcript_;
}

namespace {
// STK_RELAY_TRACE=1 prints every chunk with its time, for a transfer that stalls.
void trace(const char* dir, const char* p, size_t n) {
    static const bool on = std::getenv("STK_RELAY_TRACE") != nullptr;
    if (!on) return;
    std::fprintf(stderr, "%8llu %s", static_cast<unsigned long long>(monoMs() % 100000000), dir);
    for (size_t i = 0; i < n && i < 12; ++i) std::fprintf(stderr, " %02x", uint8_t(p[i]));
    std::fprintf(stderr, n > 12 ? " ... (%zu)\n" : "\n", n);
}
}  // namespace

void Relay::run() {
    NoiseSource toPeerNoise(opt_.toPeer), toLineNoise(opt_.toLine);
    std::string toPeer, toLine;
    bool discarding = !opt_.discardUntil.empty();
    std::string scan;  // tail of the discarded text, to find the trigger across reads
    bool holding = discarding || opt_.holdMs > 0;
    uint64_t releaseAt = discarding ? UINT64_MAX : monoMs() + uint64_t(opt_.holdMs);
    bool peerEof = false, lineDead = false;
    char buf[8192];

    while (!stop_) {
        if (holding && monoMs() >= releaseAt) holding = false;
        struct pollfd p[3];
        p[0] = {lineDead ? -1 : lineFd_, POLLIN, 0};
        if (!holding && !toLine.empty()) p[0].events |= POLLOUT;
        p[1] = {peerEof && toPeer.empty() ? -1 : peerFd_, short(peerEof ? 0 : POLLIN), 0};
        if (!toPeer.empty()) p[1].events |= POLLOUT;
        p[2] = {wake_[0], POLLIN, 0};
        int r = ::poll(p, 3, holding ? 5 : 200);
        if (r < 0 && errno != EINTR) break;

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
                    if (at == std::string::npos) {
                        if (scan.size() > opt_.discardUntil.size())
                            scan.erase(0, scan.size() - opt_.discardUntil.size());
                        from = size_t(n);
                    } else {
                        size_t after = at + opt_.discardUntil.size();
                        size_t rest = scan.size() - after;  // bytes of this read past the trigger
                        from = size_t(n) - rest;
                        discarding = false;
                        releaseAt = monoMs() + uint64_t(opt_.holdMs);
                    }
                }
                trace("line>", buf, size_t(n));
                if (from < size_t(n)) toPeerNoise.apply(buf + from, size_t(n) - from, toPeer);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                lineDead = true;
            }
        } else if (p[0].revents & (POLLHUP | POLLERR)) {
            // A pty end reports a hang-up while the other side is closed;
            // don't spin on it.
            ::usleep(2000);
        }
        if (p[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(peerFd_, buf, sizeof buf);
            if (n > 0) {
                trace("<peer", buf, size_t(n));
                toLineNoise.apply(buf, size_t(n), toLine);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                peerEof = true;
        }
        if (!toPeer.empty()) {
            ssize_t n = writeSome(peerFd_, toPeer.data(), toPeer.size());
            if (n > 0) {
                toPeerCount_ += uint64_t(n);
                toPeer.erase(0, size_t(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                toPeer.clear();  // the peer has gone
            }
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

// --- Wire -----------------------------------------------------------------------

int Wire::get(int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    for (;;) {
        uint8_t b;
        ssize_t n = ::read(fd_, &b, 1);
        if (n == 1) return b;
        if (n == 0) return -1;
        if (errno != EAGAIN && errno != EINTR) return -1;
        uint64_t now = monoMs();
        if (now >= deadline) return -1;
        struct pollfd p {
            fd_, POLLIN, 0
        };
        ::poll(&p, 1, int(deadline - now));
    }
}

bool Wire::put(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            struct pollfd p {
                fd_, POLLOUT, 0
            };
            ::poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

void Wire::drain(int quietMs) {
    while (get(quietMs) >= 0) {
    }
}

// --- LinePeer -------------------------------------------------------------------

LinePeer::~LinePeer() {
    kill();
    if (script_.joinable()) {
        if (childFd_ >= 0) ::shutdown(childFd_, SHUT_RDWR);
        script_.join();
    }
    relay_.reset();
    closeFd(peerFd_);
    closeFd(childFd_);
    if (!errFile_.empty()) ::unlink(errFile_.c_str());
}

void LinePeer::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
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
    if (errFd < 0) {
        ::close(sv[1]);
        return false;
    }
    errFile_ = errTemplate;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(workDir.c_str()) != 0) ::_exit(126);
        ::dup2(sv[1], 0);
        ::dup2(sv[1], 1);
        ::dup2(errFd, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(sv[1]);
    ::close(errFd);
    if (pid < 0) return false;
    pid_ = pid;
    relay_ = std::make_unique<Relay>(lineFd, peerFd_, options);
    return true;
}

bool LinePeer::startRelay(int lineFd, int otherLineFd, const RelayOptions& options) {
    relay_ = std::make_unique<Relay>(lineFd, otherLineFd, options);
    return true;
}

bool LinePeer::startScript(int lineFd, std::function<int(Wire&)> fn, const RelayOptions& options) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    peerFd_ = sv[0];
    childFd_ = sv[1];
    relay_ = std::make_unique<Relay>(lineFd, peerFd_, options);
    setNonBlocking(childFd_);
    script_ = std::thread([this, fn = std::move(fn)] {
        Wire wire(childFd_);
        scriptResult_ = fn(wire);
        ::shutdown(childFd_, SHUT_WR);  // the relay sees the end once all was sent
        scriptDone_ = true;
    });
    return true;
}

int LinePeer::wait(int timeoutMs) {
    int result = -1;
    if (pid_ > 0) {
        bool timedOut = false;
        result = reap(pid_, timeoutMs, &timedOut);
        pid_ = -1;
        if (timedOut) result = -1;
    } else if (script_.joinable()) {
        uint64_t deadline = monoMs() + uint64_t(timeoutMs);
        while (!scriptDone_ && monoMs() < deadline) ::usleep(2000);
        bool timedOut = !scriptDone_;
        if (timedOut) ::shutdown(childFd_, SHUT_RDWR);
        script_.join();
        result = timedOut ? -1 : scriptResult_;
    }
    if (relay_) {
        relay_->waitPeerDrained(1000);
        relay_->stop();
    }
    return result;
}

std::string LinePeer::errorText() const {
    return errFile_.empty() ? std::string() : slurp(errFile_);
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
        time_t(us / 1000000u), long(us % 1000000u) * 1000
    };
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

// --- HostLineBoard --------------------------------------------------------------

HostLineBoard::HostLineBoard(std::string slavePath) {
    if (slavePath.empty()) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            error_ = "cannot open a pseudo-terminal";
            return;
        }
        slavePath = ::ptsname(master_);
    }
    guard_ = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (guard_ < 0) {
        error_ = "cannot open " + slavePath;
        return;
    }
    struct termios t;
    if (::tcgetattr(guard_, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, B115200);
        ::cfsetospeed(&t, B115200);
        ::tcsetattr(guard_, TCSANOW, &t);
    }
    char err[256] = {};
    plat::ConsoleDevice* con = plat::openHostConsole(slavePath.c_str(), err, sizeof err);
    if (!con) {
        error_ = err;
        return;
    }
    dir_ = tempDir("stkline-");
    if (dir_.empty()) {
        error_ = "cannot make a board folder";
        return;
    }
    plat::installBoard(std::make_unique<plat::Board>(std::unique_ptr<plat::ConsoleDevice>(con),
                                                     std::make_unique<BriskClock>(), dir_));
    attachBoardDevices(plat::board());
    Flash_Init();
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
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::string HostLineBoard::hostPath(const std::string& name) const {
    std::string host;
    std::string boardName = "/DskVol/files/" + name;
    if (!plat::board().disk().resolve(boardName.c_str(), host)) return dir_ + "/invalid";
    return host;
}

void HostLineBoard::writeFile(const std::string& name, const std::string& bytes) {
    spill(hostPath(name), bytes);
}

std::string HostLineBoard::readFile(const std::string& name) const {
    return slurp(hostPath(name));
}

bool HostLineBoard::exists(const std::string& name) const {
    return fs::exists(hostPath(name));
}

std::vector<std::string> HostLineBoard::files() const {
    std::vector<std::string> names;
    std::string folder;
    if (!plat::board().disk().resolve("/DskVol/files", folder)) return names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    return names;
}

}  // namespace stktest
