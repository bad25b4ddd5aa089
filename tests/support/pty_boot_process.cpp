// The boot program as a child process on a pseudo-terminal or on pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/pty_harness.h"
#include "support/pty_posix.h"

namespace stktest {

using namespace posix;

BootProcess::~BootProcess() {
    kill();
    closeFd(slave_);
    if (inFd_ != slave_) closeFd(inFd_);
    if (outFd_ != slave_) closeFd(outFd_);
    if (errReader_.joinable()) errReader_.join();
    closeFd(errFd_);
}

void BootProcess::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

bool BootProcess::spawn(const std::vector<std::string>& argv, int in, int out) {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // never shares our controlling terminal
        ::dup2(in, 0);
        ::dup2(out >= 0 ? out : errPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(errPipe[0]);
        return false;
    }
    pid_ = pid;
    errFd_ = errPipe[0];
    errReader_ = std::thread([this] {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(errFd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(errMu_);
            err_.append(buf, size_t(n));
        }
    });
    return true;
}

bool BootProcess::startPty(const std::string& boardDir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {stkbootPath(), "--console", "pty", "--board", boardDir};
    argv.insert(argv.end(), extra.begin(), extra.end());
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    bool started = spawn(argv, devnull, -1);
    ::close(devnull);
    if (!started) return false;
    const std::string mark = "stkboot: console on ";
    if (!expectErr(mark, 10000)) return false;
    uint64_t deadline = monoMs() + 5000;
    for (;;) {
        std::string e = errText();
        size_t at = e.find(mark);
        size_t end = e.find('\n', at);
        if (end != std::string::npos) {
            ptyPath_ = e.substr(at + mark.size(), end - at - mark.size());
            break;
        }
        if (monoMs() > deadline) return false;
        ::usleep(2000);
    }
    slave_ = ::open(ptyPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_ < 0) return false;
    // A terminal program's settings: raw bytes, the line speed left as it is.
    struct termios t;
    if (::tcgetattr(slave_, &t) == 0) {
        speed_t speed = ::cfgetospeed(&t);
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    inFd_ = outFd_ = slave_;
    return true;
}

bool BootProcess::startStdio(const std::string& boardDir) {
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return false;
    }
    bool started =
        spawn({stkbootPath(), "--console", "stdio", "--board", boardDir}, inPipe[0], outPipe[1]);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    inFd_ = inPipe[1];
    outFd_ = outPipe[0];
    setNonBlocking(outFd_);
    return started;
}

bool BootProcess::readMore(int timeoutMs) {
    struct pollfd p {
        outFd_, POLLIN, 0
    };
    int r = ::poll(&p, 1, timeoutMs);
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(outFd_, buf, sizeof buf);
    if (n > 0) {
        out_.append(buf, size_t(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    // End of output (or a hang-up): avoid spinning on it.
    ::usleep(5000);
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

int BootProcess::expectAny(const std::vector<std::string>& texts, int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    for (;;) {
        size_t best = std::string::npos;
        int index = -1;
        for (size_t i = 0; i < texts.size(); ++i) {
            size_t at = out_.find(texts[i], cursor_);
            if (at < best) {
                best = at;
                index = int(i);
            }
        }
        if (index >= 0) {
            cursor_ = best + texts[size_t(index)].size();
            return index;
        }
        uint64_t now = monoMs();
        if (now >= deadline) return -1;
        readMore(int(deadline - now));
    }
}

void BootProcess::send(const std::string& bytes) {
    size_t done = 0;
    uint64_t deadline = monoMs() + 10000;
    while (done < bytes.size() && monoMs() < deadline) {
        ssize_t n = ::write(inFd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        // The line is full: keep reading the echo so the other side can go on.
        readMore(5);
    }
}

void BootProcess::settle(int quietMs, int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    while (monoMs() < deadline && readMore(quietMs)) {
    }
}

std::string BootProcess::errText() {
    std::lock_guard<std::mutex> lock(errMu_);
    return err_;
}

bool BootProcess::expectErr(const std::string& text, int timeoutMs) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    while (errText().find(text) == std::string::npos) {
        if (monoMs() >= deadline) return false;
        ::usleep(2000);
    }
    return true;
}

void BootProcess::closeInput() {
    if (inFd_ >= 0 && inFd_ != slave_) closeFd(inFd_);
}

bool BootProcess::running() {
    if (pid_ <= 0) return false;
    int status;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return false;
    }
    return true;
}

int BootProcess::waitExit(int timeoutMs) {
    if (pid_ > 0) {
        bool timedOut = false;
        exitStatus_ = reap(pid_, timeoutMs, &timedOut);
        pid_ = -1;
        if (timedOut) exitStatus_ = -1;
        // The program has ended and its end of the pipe with it: wait until
        // everything it wrote on standard error has been collected.
        else if (errReader_.joinable())
            errReader_.join();
    }
    return exitStatus_;
}

int BootProcess::runPeer(const std::string& workDir, const std::vector<std::string>& argv,
                         int timeoutMs, const RelayOptions& options, std::string* peerErr) {
    LinePeer peer;
    if (!peer.startProgram(slave_, workDir, argv, options)) return -1;
    int rc = peer.wait(timeoutMs);
    if (peer.relay()) out_ += peer.relay()->lineTranscript();
    if (peerErr) *peerErr = peer.errorText();
    return rc;
}

}  // namespace stktest
