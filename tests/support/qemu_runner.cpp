#include "qemu_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#ifndef STK_SOURCE_DIR
#define STK_SOURCE_DIR "."
#endif

namespace stktest {

namespace {

using Clock = std::chrono::steady_clock;

bool pastDeadline(Clock::time_point deadline) {
    return Clock::now() >= deadline;
}

}  // namespace

std::string runnerPath() {
    return std::string(STK_SOURCE_DIR) + "/scripts/run-ppce500.sh";
}

QemuRunner::~QemuRunner() {
    if (pid_ > 0 && wait(0) < 0) {
        ::kill(pid_, SIGTERM);  // its trap ends QEMU
        wait(10000);
    }
    if (!errFile_.empty()) ::unlink(errFile_.c_str());
}

bool QemuRunner::start(const std::vector<std::string>& options) {
    char errTemplate[] = "/tmp/stkqemu-err-XXXXXX";
    int err = ::mkostemp(errTemplate, O_CLOEXEC);
    if (err < 0) return false;
    errFile_ = errTemplate;
    std::vector<std::string> argv{runnerPath(), "--console", "pty"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // A test that dies leaves no board running: the runner gets SIGTERM.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(126);
        ::setsid();
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(err, 1);
        ::dup2(err, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(err);
    if (pid_ < 0) return false;
    const std::string mark = "waiting for a terminal on ";
    for (auto deadline = Clock::now() + std::chrono::seconds(120); !pastDeadline(deadline);) {
        std::string text = errText();
        size_t at = text.find(mark), end = at == std::string::npos ? at : text.find('\n', at);
        if (end != std::string::npos) {
            pty_ = text.substr(at + mark.size(), end - at - mark.size());
            return true;
        }
        if (wait(0) >= 0) return false;  // the runner gave up (its message is in errText)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int QemuRunner::wait(int timeoutMs) {
    if (pid_ <= 0 || status_ >= 0) return status_;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (pastDeadline(deadline)) return -1;
    }
}

std::string QemuRunner::errText() const {
    std::ifstream in(errFile_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace stktest
