#include "qemu_runner.h"

#include <signal.h>
#include <unistd.h>

#include "support/pty_harness.h"

#ifndef STK_SOURCE_DIR
#define STK_SOURCE_DIR "."
#endif

namespace stktest {

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

std::string QemuRunner::errText() const {
    return readHostFile(errFile_);
}

}  // namespace stktest
