// Test support for runs with real time on a pseudo-terminal: the boot program
// as a child process on its pty console (or on QEMU), a board of this process
// whose console is a pty, and peer programs (lrzsz) joined to a line through a
// relay that can inject line noise.
//
// Peers sit on a socket pair rather than on the pty itself: lrzsz flushes its
// terminal input after every start character and acknowledgement, which on a
// pty pair throws away bytes that a real UART would have delivered. A socket
// has no such flush, so the relay keeps every byte.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/host/board.h"

// The benchmark program builds the harness on its own, without the test set-up.
#ifndef STK_BINARY_DIR
#define STK_BINARY_DIR "."
#define STK_SOURCE_DIR "."
#endif

namespace stktest {

inline std::string stkbootPath() {
    return STK_BINARY_DIR "/stkboot";
}
inline std::string stkimagePath() {
    return STK_BINARY_DIR "/stkimage";
}
// Runs a tool to its end; its output (with standard error) goes to *output.
int runTool(const std::vector<std::string>& argv, std::string* output = nullptr);
bool programsAvailable(const std::vector<std::string>& names);
// Runs a program in dir with its standard input and output on the terminal
// device `line`; its exit code, or -1 when it was killed after timeoutMs.
int runOnLine(const std::string& line, const std::string& dir, const std::vector<std::string>& argv,
              int timeoutMs);
std::string randomBytes(size_t n, uint32_t seed);  // the same bytes for the same seed

std::string readHostFile(const std::string& path);
void writeHostFile(const std::string& path, const std::string& bytes);
std::string makeTempDir(const char* prefix);
void removeTree(const std::string& path);

// Byte faults at a seeded rate per byte.
struct LineNoise {
    uint32_t seed = 1;
    double dropRate = 0, duplicateRate = 0, corruptRate = 0;
};

struct RelayOptions {
    LineNoise toPeer;  // faults on the bytes the program under test sends
    LineNoise toLine;  // faults on the bytes the peer sends
    // Bytes from the line are thrown away until this text has passed (the
    // announcement a terminal user reads before starting the peer).
    std::string discardUntil;
    // The peer's bytes are held back this long after the start, or after
    // discardUntil has passed: the operator starts the peer after reading.
    int holdMs = 0;
};

// A program (lrzsz) in its own working directory, joined to a line by a
// relay thread that copies bytes both ways.
class LinePeer {
  public:
    ~LinePeer();  // not copied: its members are not
    // argv[0] is looked up in PATH; lrzsz takes bare file names, so it runs in workDir.
    bool startProgram(int lineFd, const std::string& workDir, const std::vector<std::string>& argv,
                      const RelayOptions& options = {});
    // Waits for the end (killing the program after timeoutMs) and for its last
    // bytes to reach the line. Returns the exit code, 128 + signal, or -1 on time-out.
    int wait(int timeoutMs);
    // Everything read from the line so far.
    std::string lineTranscript() {
        std::lock_guard<std::mutex> lock(mu_);
        return transcript_;
    }
    uint64_t bytesToLine() const { return toLineCount_; }
    void kill() { ::kill(pid_, SIGKILL); }  // the program dies, as on a lost line

  private:
    void relay(int lineFd, RelayOptions opt);
    pid_t pid_ = -1;
    int peerFd_ = -1;
    std::atomic<bool> stop_{false}, peerDrained_{false};
    std::atomic<uint64_t> toLineCount_{0};
    std::mutex mu_;
    std::string transcript_;
    std::thread thread_;
};

// stkboot as a child process with its console on a pseudo-terminal whose
// slave we hold like a terminal program (or leave to one, attach false).
// startTerminal runs a terminal program instead, on a pseudo-terminal of
// ours: send types on its keyboard, expect reads its screen.
class BootProcess {
  public:
    BootProcess() = default;
    ~BootProcess();
    BootProcess(const BootProcess&) = delete;
    bool start(const std::string& boardDir, const std::vector<std::string>& options = {},
               bool attach = true);
    bool startTerminal(const std::vector<std::string>& argv, const std::string& dir);
    // Opens the slave of a pty that another program made (the QEMU runner's
    // console) and holds it like a terminal program.
    bool attach(const std::string& ptyPath);
    // Reads the console output until text appears (after the last match).
    bool expect(const std::string& text, int timeoutMs = 60000);
    void send(const std::string& bytes);
    std::string unmatched() const { return out_.substr(cursor_); }
    const std::string& output() const { return out_; }              // everything read so far
    std::string errText() const { return readHostFile(errFile_); }  // its standard error and output
    bool expectErr(const std::string& text, int timeoutMs = 20000);
    int slaveFd() const { return terminal_; }
    void addOutput(const std::string& text) { out_ += text; }  // what a peer's relay read

  private:
    bool readMore(int timeoutMs);
    pid_t pid_ = -1;
    int terminal_ = -1;  // the end we read and type on
    std::string errFile_, out_;
    size_t cursor_ = 0;
};

// The board build on QEMU: scripts/run-ppce500.sh of this source tree as a
// child process with its console on a pseudo-terminal. start() returns once
// the runner has named the pty; the board runs when a terminal opens it
// (BootProcess::attach, like a terminal program).
class QemuRunner {
  public:
    QemuRunner() = default;
    ~QemuRunner();  // ends the runner, which ends QEMU
    QemuRunner(const QemuRunner&) = delete;
    // Starts the runner with --console pty and the options (--elf, --board,
    // --no-reboot, ...); true once it printed "waiting for a terminal on PATH".
    bool start(const std::vector<std::string>& options);
    const std::string& ptyPath() const { return pty_; }
    // The runner's exit status (QEMU's), or -1 when it still runs after timeoutMs.
    int wait(int timeoutMs);
    std::string errText() const { return readHostFile(errFile_); }  // its standard error and output

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string errFile_, pty_;
};

// Real time, except that sleeps of a second or more (the pauses before and
// after a transfer) pass at once, or in longSleepUs when a peer program needs
// the time to end; waits for input still take real time.
class BriskClock : public plat::Clock {
  public:
    uint64_t nowUs() override;
    void sleepUs(uint64_t us) override;
    bool isVirtual() const override { return false; }
    uint64_t longSleepUs = 0;

  private:
    std::atomic<uint64_t> skipped_{0};
};

// A board of this process whose console is the slave of a pseudo-terminal at
// 115200 bit/s; the master is the line for peers. onMaster: the console is
// the master, as with stkboot --console pty, and peers take the slave
// (linePath). The flash disk is formatted and the working directory is
// "/DskVol/files".
class HostLineBoard {
  public:
    explicit HostLineBoard(bool onMaster = false);
    ~HostLineBoard();
    HostLineBoard(const HostLineBoard&) = delete;
    bool ok() const { return ok_; }
    int lineFd() const { return onMaster_ ? guard_ : master_; }
    const std::string& linePath() const { return slavePath_; }
    BriskClock& clock() { return static_cast<BriskClock&>(plat::board().clock()); }
    std::string hostPath(const std::string& name) const;  // under "/DskVol/files"

  private:
    bool ok_ = false, onMaster_;
    std::string dir_, slavePath_;
    int master_ = -1;
    int guard_ = -1;  // a slave descriptor kept open so the master never sees a hang-up
};

}  // namespace stktest
