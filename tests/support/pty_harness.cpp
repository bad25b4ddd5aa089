#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <utility>

#include "bootflash/bootflash.h"
#include "platform/host/address_map.h"
#include "platform/host/board.h"
#include "platform/host/folder_volume.h"
#include "platform/host/host_clock.h"
#include "platform/host/host_console.h"
#include "platform/platform.h"
#include "sim/board_devices.h"
#include "support/board_setup.h"

// The benchmark program builds this file on its own, without the test set-up.
#ifndef STK_BINARY_DIR
#define STK_BINARY_DIR "."
#endif
// A cross build's tests start its programs through the emulator (qemu-user).
#ifndef STK_TEST_EMULATOR
#define STK_TEST_EMULATOR ""
#endif

namespace stktest {

namespace fs = std::filesystem;

namespace {

uint64_t monoUs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

bool retry(ssize_t n) {
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A raw terminal at the given speed (0: the speed left as it is).
void makeRaw(int fd, speed_t speed) {
    struct termios t;
    if (::tcgetattr(fd, &t) != 0) return;
    speed = speed ? speed : ::cfgetospeed(&t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    ::tcsetattr(fd, TCSANOW, &t);
}

// Starts argv in dir with its standard input and output on `io` and its
// standard error in a fresh temporary file, whose name goes to *errFile.
pid_t spawn(const std::vector<std::string>& argv, const std::string& dir, int io,
            std::string* errFile) {
    char errTemplate[] = "/tmp/stkpeer-err-XXXXXX";
    int err = ::mkostemp(errTemplate, O_CLOEXEC);
    *errFile = errTemplate;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = err < 0 ? -1 : ::fork();
    if (pid == 0) {
        ::setsid();  // never shares our controlling terminal
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
        ::dup2(io >= 0 ? io : ::open("/dev/null", O_RDONLY), 0);
        ::dup2(io < 0 ? err : io, 1);
        ::dup2(err, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (err >= 0) ::close(err);
    return pid;
}

// Waits for a child; kills it after timeoutMs. Exit code, 128 + signal, or -1.
int reap(pid_t pid, int timeoutMs) {
    int status = 0;
    for (uint64_t deadline = monoUs() / 1000 + uint64_t(timeoutMs);
         ::waitpid(pid, &status, WNOHANG) != pid;) {
        if (monoUs() / 1000 >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Appends a chunk to `out` with the byte faults of `n`.
void addNoisy(const LineNoise& n, std::mt19937& rng, const char* p, size_t len, std::string& out) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (size_t i = 0; i < len; ++i) {
        double x = n.dropRate + n.duplicateRate + n.corruptRate > 0 ? u(rng) : 1;
        if (x < n.dropRate) continue;
        if (x < n.dropRate + n.duplicateRate) out.push_back(p[i]);
        bool corrupt =
            x >= n.dropRate + n.duplicateRate && x < n.dropRate + n.duplicateRate + n.corruptRate;
        out.push_back(corrupt ? char(uint8_t(p[i]) ^ uint8_t(1 + rng() % 255)) : p[i]);
    }
}

// The build's own programs run through the emulator, if the build has one.
std::vector<std::string> withEmulator(std::vector<std::string> argv) {
    std::string word, emulator = STK_TEST_EMULATOR;
    if (emulator.empty() || argv.empty() || argv[0].rfind(STK_BINARY_DIR "/", 0) != 0) return argv;
    std::vector<std::string> words;
    for (std::istringstream in(emulator); in >> word;) words.push_back(word);
    argv.insert(argv.begin(), words.begin(), words.end());
    return argv;
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
    for (const auto& a : withEmulator(argv))
        cmd += " '" + a + "'";  // paths and options without quotes
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        if (output) output->append(buf, n);
    int status = p ? ::pclose(p) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runOnLine(const std::string& line, const std::string& dir, const std::vector<std::string>& argv,
              int timeoutMs) {
    std::string errFile;
    int fd = ::open(line.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    pid_t pid = fd < 0 ? -1 : spawn(argv, dir, fd, &errFile);
    if (fd >= 0) ::close(fd);
    if (!errFile.empty()) ::unlink(errFile.c_str());
    return pid > 0 ? reap(pid, timeoutMs) : -1;
}

bool programsAvailable(const std::vector<std::string>& names) {
    for (const auto& name : names)
        if (std::system(("command -v " + name + " >/dev/null").c_str()) != 0) return false;
    return true;
}

std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(rng() & 0xff);
    return s;
}

// --- LinePeer -------------------------------------------------------------------

LinePeer::~LinePeer() {
    wait(0);
    if (peerFd_ >= 0) ::close(peerFd_);
    if (!errFile_.empty()) ::unlink(errFile_.c_str());
}

bool LinePeer::startProgram(int lineFd, const std::string& workDir,
                            const std::vector<std::string>& argv, const RelayOptions& options) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    peerFd_ = sv[0];
    pid_ = spawn(argv, workDir, sv[1], &errFile_);
    ::close(sv[1]);
    for (int fd : {lineFd, peerFd_}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (pid_ > 0) thread_ = std::thread([this, lineFd, options] { relay(lineFd, options); });
    return pid_ > 0;
}

int LinePeer::wait(int timeoutMs) {
    int result = pid_ > 0 ? reap(pid_, timeoutMs) : -1;
    pid_ = -1;
    for (uint64_t deadline = monoUs() / 1000 + 1000; !peerDrained_ && monoUs() / 1000 < deadline;)
        ::usleep(1000);
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return result;
}

std::string LinePeer::lineTranscript() {
    std::lock_guard<std::mutex> lock(mu_);
    return transcript_;
}

// Writes what the descriptor takes now; a socket whose reader has gone gives
// EPIPE instead of a signal.
static ssize_t writeSome(int fd, std::string& pending) {
    ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, pending.data(), pending.size());
    if (n > 0) pending.erase(0, size_t(n));
    return n;
}

void LinePeer::relay(int lineFd, RelayOptions opt) {
    std::mt19937 toPeerRng(opt.toPeer.seed), toLineRng(opt.toLine.seed);
    std::string toPeer, toLine, scan;  // scan: the tail of discarded text, across reads
    bool discarding = !opt.discardUntil.empty(), peerEof = false, lineDead = false;
    uint64_t releaseAt = discarding ? UINT64_MAX : monoUs() / 1000 + uint64_t(opt.holdMs);
    char buf[8192];
    while (!stop_ && !(peerDrained_ && lineDead)) {
        bool holding = monoUs() / 1000 < releaseAt;
        struct pollfd p[2] = {{lineDead ? -1 : lineFd,
                               short(POLLIN | (!holding && !toLine.empty() ? POLLOUT : 0)), 0},
                              {peerEof && toPeer.empty() ? -1 : peerFd_,
                               short((peerEof ? 0 : POLLIN) | (toPeer.empty() ? 0 : POLLOUT)), 0}};
        ::poll(p, 2, holding ? 5 : 20);
        ssize_t n = p[0].revents & POLLIN ? ::read(lineFd, buf, sizeof buf) : -2;
        if (n > 0) {
            std::lock_guard<std::mutex> lock(mu_);
            transcript_.append(buf, size_t(n));
            size_t from = 0;
            if (discarding) {
                scan.append(buf, size_t(n));
                size_t at = scan.find(opt.discardUntil);
                from = at == std::string::npos
                           ? size_t(n)
                           : size_t(n) - (scan.size() - at - opt.discardUntil.size());
                discarding = at == std::string::npos;
                if (!discarding) releaseAt = monoUs() / 1000 + uint64_t(opt.holdMs);
                if (scan.size() > opt.discardUntil.size())
                    scan.erase(0, scan.size() - opt.discardUntil.size());
            }
            addNoisy(opt.toPeer, toPeerRng, buf + from, size_t(n) - from, toPeer);
        } else if (n == 0 || (n == -1 && !retry(n))) {
            lineDead = true;
        } else if (p[0].revents & (POLLHUP | POLLERR)) {
            ::usleep(2000);  // a pty end reports a hang-up while the other side is closed
        }
        n = p[1].revents & (POLLIN | POLLHUP) ? ::read(peerFd_, buf, sizeof buf) : -2;
        if (n > 0) addNoisy(opt.toLine, toLineRng, buf, size_t(n), toLine);
        peerEof = peerEof || n == 0 || (n == -1 && !retry(n));
        if (!toPeer.empty() && writeSome(peerFd_, toPeer) < 0 && !retry(-1))
            toPeer.clear();  // gone
        size_t before = toLine.size();
        if (!holding && !toLine.empty() && !lineDead && writeSome(lineFd, toLine) < 0 && !retry(-1))
            lineDead = true;
        toLineCount_ += before - toLine.size();
        peerDrained_ = peerEof && (toLine.empty() || lineDead);
    }
}

// --- BootProcess ----------------------------------------------------------------

BootProcess::~BootProcess() {
    if (pid_ > 0) reap(pid_, 0);
    if (terminal_ >= 0) ::close(terminal_);
    if (!errFile_.empty()) ::unlink(errFile_.c_str());
}

bool BootProcess::start(const std::string& boardDir, const std::vector<std::string>& options,
                        bool attach) {
    std::vector<std::string> argv{stkbootPath(), "--console", "pty", "--board", boardDir};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = spawn(withEmulator(argv), "", -1, &errFile_);
    // The pty's name comes on standard error; we hold its slave like a terminal program.
    const std::string mark = "stkboot: console on ";
    if (pid_ < 0 || !expectErr(mark + "/", 10000) || !expectErr("\n", 1000)) return false;
    std::string e = errText();
    size_t at = e.find(mark) + mark.size();
    console_ = e.substr(at, e.find_first_of(" \n", at) - at);
    if (!attach) return true;
    terminal_ = ::open(console_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    makeRaw(terminal_, 0);
    return terminal_ >= 0;
}

bool BootProcess::attach(const std::string& ptyPath) {
    console_ = ptyPath;
    terminal_ = ::open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    makeRaw(terminal_, 0);
    return terminal_ >= 0;
}

bool BootProcess::startTerminal(const std::vector<std::string>& argv, const std::string& dir) {
    terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0 || ::grantpt(terminal_) != 0 || ::unlockpt(terminal_) != 0) return false;
    int screen = ::open(::ptsname(terminal_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct winsize size {
        24, 80, 0, 0
    };  // a line editor asks for the width
    ::ioctl(screen, TIOCSWINSZ, &size);
    pid_ = spawn(argv, dir, screen, &errFile_);
    ::close(screen);
    return pid_ > 0;
}

bool BootProcess::readMore(int timeoutMs) {
    struct pollfd p {
        terminal_, POLLIN, 0
    };
    char buf[4096];
    ssize_t n = ::poll(&p, 1, timeoutMs) > 0 ? ::read(terminal_, buf, sizeof buf) : -1;
    if (n > 0) out_.append(buf, size_t(n));
    if (n == 0 || (n < 0 && p.revents)) ::usleep(5000);  // a hang-up: don't spin on it
    return n > 0;
}

bool BootProcess::expect(const std::string& text, int timeoutMs) {
    for (uint64_t deadline = monoUs() / 1000 + uint64_t(timeoutMs);; readMore(20)) {
        size_t at = out_.find(text, cursor_);
        if (at != std::string::npos) cursor_ = at + text.size();
        if (at != std::string::npos || monoUs() / 1000 >= deadline) return at != std::string::npos;
    }
}

void BootProcess::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size(); readMore(1)) {
        ssize_t n = ::write(terminal_, bytes.data() + done, bytes.size() - done);
        done += n > 0 ? size_t(n) : 0;
    }
}

std::string BootProcess::errText() const {
    return slurp(errFile_);
}

bool BootProcess::expectErr(const std::string& text, int timeoutMs) {
    uint64_t deadline = monoUs() / 1000 + uint64_t(timeoutMs);
    while (errText().find(text) == std::string::npos && monoUs() / 1000 < deadline) ::usleep(2000);
    return errText().find(text) != std::string::npos;
}

// --- BriskClock -----------------------------------------------------------------

uint64_t BriskClock::nowUs() {
    return monoUs() + skipped_;
}

void BriskClock::sleepUs(uint64_t us) {
    uint64_t real = us >= 1000000u ? std::min(us, longSleepUs) : us;
    skipped_ += us - real;
    ::usleep(useconds_t(real));
}

// --- HostLineBoard --------------------------------------------------------------

HostLineBoard::HostLineBoard(bool onMaster) : onMaster_(onMaster) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    slavePath_ = ::ptsname(master_);
    guard_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    makeRaw(guard_, B115200);
    char err[256] = {};
    plat::ConsoleDevice* con =
        onMaster ? plat::ptyMasterConsole(std::exchange(master_, -1), ::dup(guard_))
                 : plat::openHostConsole(slavePath_.c_str(), err, sizeof err);
    std::string templ = (fs::temp_directory_path() / "stkline-XXXXXX").string();
    if (!con || !::mkdtemp(templ.data())) return;
    dir_ = templ;
    plat::installBoard(std::make_unique<plat::Board>(std::unique_ptr<plat::ConsoleDevice>(con),
                                                     std::make_unique<BriskClock>(), dir_));
    attachBoardDevices(plat::board());
    formatAndEnterFiles();
    ok_ = true;
}

HostLineBoard::~HostLineBoard() {
    if (plat::boardInstalled()) plat::uninstallBoard();
    for (int fd : {guard_, master_})
        if (fd >= 0) ::close(fd);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::string HostLineBoard::hostPath(const std::string& name) const {
    std::string host;
    bool ok = plat::board().disk().hostPath(("/DskVol/files/" + name).c_str(), &host);
    return ok ? host : dir_ + "/invalid";
}

}  // namespace stktest
