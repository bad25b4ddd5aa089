// Test support for the board build on QEMU: scripts/run-ppce500.sh as a child
// process with its console on a pseudo-terminal. start() returns once the
// runner has named the pty; the board runs when a terminal opens it
// (BootProcess::attach, like a terminal program).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace stktest {

class QemuRunner {
  public:
    QemuRunner() = default;
    ~QemuRunner();  // ends the runner, which ends QEMU
    QemuRunner(const QemuRunner&) = delete;
    // Starts this source tree's runner with --console pty and the options (--elf, --board,
    // --no-reboot, ...); true once it printed "waiting for a terminal on PATH".
    bool start(const std::vector<std::string>& options);
    const std::string& ptyPath() const { return pty_; }
    // The runner's exit status (QEMU's), or -1 when it still runs after timeoutMs.
    int wait(int timeoutMs);
    std::string errText() const;  // its standard error and output

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string errFile_, pty_;
};

}  // namespace stktest
