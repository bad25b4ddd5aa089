#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "platform/host/folder_volume.h"
#include "platform/host/host_console.h"
#include "sim/board_devices.h"
#include "support/board_setup.h"

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

// Polls done() every 2 ms until it holds or timeoutMs have passed.
bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    for (uint64_t deadline = monoUs() / 1000 + uint64_t(timeoutMs); !done(); ::usleep(2000))
        if (monoUs() / 1000 >= deadline) return false;
    return true;
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

// Appends a chunk to `out` with the byte faults of `n`.
void addNoisy(const LineNoise& n, std::mt19937& rng, const char* p, size_t len, std::string& out) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double dropOrDuplicate = n.dropRate + n.duplicateRate;
    for (size_t i = 0; i < len; ++i) {
        double x = dropOrDuplicate + n.corruptRate > 0 ? u(rng) : 1;
        if (x < n.dropRate) continue;
        if (x < dropOrDuplicate) out.push_back(p[i]);
        bool corrupt = x >= dropOrDuplicate && x < dropOrDuplicate + n.corruptRate;
        out.push_back(corrupt ? char(uint8_t(p[i]) ^ uint8_t(1 + rng() % 255)) : p[i]);
    }
}

// The build's own programs run through the emulator, if the build has one.
std::vector<std::string> withEmulator(std::vector<std::string> argv) {
    std::istringstream emulator(STK_TEST_EMULATOR);
    if (argv.empty() || argv[0].rfind(STK_BINARY_DIR "/", 0) != 0) return argv;
    argv.insert(argv.begin(), std::istream_iterator<std::string>(emulator), {});
    return argv;
}

// Starts argv in dir (empty: this one) with its standard input and output on
// `io` (-1: input from /dev/null, output with standard error) and its
// standard error in a fresh temporary file, whose name goes to *errFile
// (nullptr: an unnamed one). The child gets SIGTERM when this process dies.
pid_t spawn(const std::vector<std::string>& argv, const std::string& dir, int io,
            std::string* errFile) {
    char errTemplate[] = "/tmp/stkpeer-err-XXXXXX";
    int err = ::mkostemp(errTemplate, O_CLOEXEC);
    if (errFile) *errFile = errTemplate;
    if (!errFile) ::unlink(errTemplate);  // nobody reads it
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = ::getpid(), pid = err < 0 ? -1 : ::fork();
    if (pid == 0) {
        // A test that dies leaves no program running.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(126);
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

// A child's exit code or 128 + signal; -1 when it still runs after timeoutMs
// (and is killed, with kill).
int reap(pid_t pid, int timeoutMs, bool kill = true) {
    int status = 0;
    if (!waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) {
        if (kill) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The word after `mark` in the child's standard error file once it is
// complete; "" when the child ends or timeoutMs pass first.
std::string wordAfter(const std::string& errFile, const std::string& mark, pid_t pid,
                      int timeoutMs) {
    std::string text;
    size_t at = std::string::npos, end = at;
    waitFor(
        [&] {
            text = readHostFile(errFile);
            at = text.find(mark);
            end = at == std::string::npos ? at : text.find_first_of(" \n", at + mark.size());
            siginfo_t ended{};  // whether the child has ended, leaving it to be reaped
            return end != std::string::npos ||
                   ::waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                   ended.si_pid != 0;
        },
        timeoutMs);
    return end == std::string::npos ? "" : text.substr(at + mark.size(), end - at - mark.size());
}

}  // namespace

std::string readHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeHostFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string makeTempDir(const char* prefix) {
    std::string templ = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    return templ;
}

void removeTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

int runTool(const std::vector<std::string>& argv, std::string* output) {
    std::string errFile;
    pid_t pid = spawn(withEmulator(argv), "", -1, &errFile);
    int rc = pid > 0 ? reap(pid, INT_MAX) : -1;
    if (output) *output += readHostFile(errFile);
    ::unlink(errFile.c_str());
    return rc;
}

int runOnLine(const std::string& line, const std::string& dir, const std::vector<std::string>& argv,
              int timeoutMs) {
    int fd = ::open(line.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    pid_t pid = fd < 0 ? -1 : spawn(argv, dir, fd, nullptr);
    if (fd >= 0) ::close(fd);
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
}

bool LinePeer::startProgram(int lineFd, const std::string& workDir,
                            const std::vector<std::string>& argv, const RelayOptions& options) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    peerFd_ = sv[0];
    pid_ = spawn(argv, workDir, sv[1], nullptr);
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
    std::string toPeer, toLine;
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
            size_t old = transcript_.size(), from = 0;  // from: the first byte the peer gets
            transcript_.append(buf, size_t(n));
            if (discarding) {  // a match ends in this read: earlier ones were seen before
                size_t at = transcript_.find(opt.discardUntil,
                                             old - std::min(old, opt.discardUntil.size()));
                discarding = at == std::string::npos;
                from = discarding ? size_t(n) : at + opt.discardUntil.size() - old;
                if (!discarding) releaseAt = monoUs() / 1000 + uint64_t(opt.holdMs);
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
    std::string console = wordAfter(errFile_, "stkboot: console on ", pid_, 11000);
    return !console.empty() && (!attach || this->attach(console));
}

bool BootProcess::attach(const std::string& ptyPath) {
    terminal_ = ::open(ptyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    makeRaw(terminal_, 0);
    return terminal_ >= 0;
}

bool BootProcess::startTerminal(const std::vector<std::string>& argv, const std::string& dir) {
    terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0 || ::grantpt(terminal_) != 0 || ::unlockpt(terminal_) != 0) return false;
    int screen = ::open(::ptsname(terminal_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const winsize size = {24, 80, 0, 0};  // a line editor asks for the width
    ::ioctl(screen, TIOCSWINSZ, &size);
    pid_ = spawn(argv, dir, screen, &errFile_);
    ::close(screen);
    return pid_ > 0;
}

bool BootProcess::readMore(int timeoutMs) {
    pollfd p = {terminal_, POLLIN, 0};
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

bool BootProcess::expectErr(const std::string& text, int timeoutMs) {
    return waitFor([&] { return errText().find(text) != std::string::npos; }, timeoutMs);
}

// --- QemuRunner ----------------------------------------------------------------

QemuRunner::~QemuRunner() {
    if (pid_ > 0 && wait(0) < 0) {
        ::kill(pid_, SIGTERM);  // its trap ends QEMU
        wait(10000);
    }
    if (!errFile_.empty()) ::unlink(errFile_.c_str());
}

bool QemuRunner::start(const std::vector<std::string>& options) {
    std::vector<std::string> argv{STK_SOURCE_DIR "/scripts/run-ppce500.sh", "--console", "pty"};
    argv.insert(argv.end(), options.begin(), options.end());
    pid_ = spawn(argv, "", -1, &errFile_);
    // Empty when the runner gave up first (its message is in errText).
    pty_ = wordAfter(errFile_, "waiting for a terminal on ", pid_, 120000);
    return !pty_.empty();
}

int QemuRunner::wait(int timeoutMs) {
    if (pid_ > 0 && status_ < 0) status_ = reap(pid_, timeoutMs, false);
    return status_;
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
    if (!con) return;
    dir_ = makeTempDir("stkline-");
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
    if (!dir_.empty()) removeTree(dir_);
}

std::string HostLineBoard::hostPath(const std::string& name) const {
    std::string host;
    bool ok = plat::board().disk().hostPath(("/DskVol/files/" + name).c_str(), &host);
    return ok ? host : dir_ + "/invalid";
}

}  // namespace stktest
