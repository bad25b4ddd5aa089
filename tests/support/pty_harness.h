// Test support for runs with real time on a pseudo-terminal: the boot program
// as a child process on its pty console, a board of this process whose
// console is a pty, and peer programs (lrzsz or a scripted peer) joined to a
// line through a relay that can also inject line noise.
//
// Peers sit on a socket pair rather than on the pty itself: lrzsz flushes its
// terminal input after every start character and acknowledgement, which on a
// pty pair throws away bytes that a real UART would have delivered. A socket
// has no such flush, so the relay keeps every byte.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace stktest {

std::string stkbootPath();
// The image tool, or an empty text when it has not been built.
std::string stkimagePath();
// Runs a tool to its end; its output (with standard error) goes to *output.
// Returns the exit status.
int runTool(const std::vector<std::string>& argv, std::string* output = nullptr);
// True when every named program can be found in PATH.
bool programsAvailable(const std::vector<std::string>& names);
// True when the transfer command is the real one (not the link-time placeholder).
// Installs and removes a scratch board: call it before setting up a board.
bool xmodemEngineAvailable();

// Deterministic pseudo-random bytes.
std::string randomBytes(size_t n, uint32_t seed);

// Byte faults at a seeded rate per byte.
struct LineNoise {
    uint32_t seed = 1;
    double dropRate = 0;
    double duplicateRate = 0;
    double corruptRate = 0;
    bool active() const { return dropRate > 0 || duplicateRate > 0 || corruptRate > 0; }
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

// Copies bytes both ways between a line descriptor and a peer descriptor on
// its own thread, until stopped.
class Relay {
  public:
    Relay(int lineFd, int peerFd, RelayOptions options);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // True once the peer side has closed and all it sent reached the line.
    bool peerDrained() const { return peerDrained_; }
    bool waitPeerDrained(int timeoutMs);
    void stop();
    // Everything read from the line so far (before noise).
    std::string lineTranscript();
    uint64_t bytesToLine() const { return toLineCount_; }
    uint64_t bytesToPeer() const { return toPeerCount_; }

  private:
    void run();
    int lineFd_, peerFd_;
    RelayOptions opt_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<bool> peerDrained_{false};
    std::atomic<uint64_t> toLineCount_{0}, toPeerCount_{0};
    std::mutex mu_;
    std::string transcript_;
    std::thread thread_;
};

// Blocking byte access with time-outs for scripted peers.
class Wire {
  public:
    explicit Wire(int fd) : fd_(fd) {}
    // A byte 0..255, or -1 on time-out or when the line has closed.
    int get(int timeoutMs);
    bool put(const std::string& bytes);
    bool put(uint8_t b) { return put(std::string(1, char(b))); }
    // Discards input until the line has been quiet for quietMs.
    void drain(int quietMs);
    int fd() const { return fd_; }

  private:
    int fd_;
};

// A peer on a line: a program (lrzsz) in its own working directory, or a
// scripted peer function on a thread, with its end of a socket pair joined to
// the line by a Relay.
class LinePeer {
  public:
    LinePeer() = default;
    ~LinePeer();
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;

    // argv[0] is looked up in PATH. lrzsz takes bare file names only, so the
    // program runs in workDir.
    bool startProgram(int lineFd, const std::string& workDir, const std::vector<std::string>& argv,
                      const RelayOptions& options = {});
    // Joins two lines directly (two boards talking to each other); wait()
    // then only lets the relay finish.
    bool startRelay(int lineFd, int otherLineFd, const RelayOptions& options = {});
    // fn runs with a Wire on the peer end; its result becomes the exit code.
    bool startScript(int lineFd, std::function<int(Wire&)> fn, const RelayOptions& options = {});
    // Waits for the end (killing the program or closing the script's line
    // after timeoutMs) and for its last bytes to reach the line. Returns the
    // exit code, 128 + signal, or -1 on time-out.
    int wait(int timeoutMs);
    std::string errorText() const;
    Relay* relay() { return relay_.get(); }
    // Sends a signal to the program (an operator's Control-C).
    void signal(int sig);

  private:
    void kill();
    pid_t pid_ = -1;
    std::thread script_;
    std::atomic<bool> scriptDone_{false};
    int scriptResult_ = -1;
    int peerFd_ = -1;  // our end, joined by the relay
    int childFd_ = -1;
    std::string errFile_;
    std::unique_ptr<Relay> relay_;
};

// stkboot as a child process: with its console on a pseudo-terminal whose
// slave we hold like a terminal program, or on plain pipes (console stdio).
class BootProcess {
  public:
    BootProcess() = default;
    ~BootProcess();
    BootProcess(const BootProcess&) = delete;
    BootProcess& operator=(const BootProcess&) = delete;

    // stkboot --console pty --board dir extra...; waits for the pty's name.
    bool startPty(const std::string& boardDir, const std::vector<std::string>& extra = {});
    // stkboot --console stdio --board dir with standard input and output on pipes.
    bool startStdio(const std::string& boardDir);

    // Reads the console output until text appears (after the last match).
    bool expect(const std::string& text, int timeoutMs = 10000);
    // Like expect, for whichever text comes first; its index, or -1.
    int expectAny(const std::vector<std::string>& texts, int timeoutMs = 10000);
    void send(const std::string& bytes);
    // Waits until the console has been quiet for quietMs (at most timeoutMs).
    void settle(int quietMs, int timeoutMs = 5000);
    // Output after the last match (read so far).
    std::string unmatched() const { return out_.substr(cursor_); }
    const std::string& output() const { return out_; }
    // stkboot's own standard error (and, with a pty console, its standard output).
    std::string errText();
    bool expectErr(const std::string& text, int timeoutMs = 10000);

    int slaveFd() const { return slave_; }
    const std::string& ptyPath() const { return ptyPath_; }
    pid_t pid() const { return pid_; }
    // Closes the console input (stdio mode): the boot program sees the end of input.
    void closeInput();
    // Exit status, 128 + signal, or -1 when it did not end in time (then killed).
    int waitExit(int timeoutMs);
    bool running();

    // Runs a peer program on the console line. The output the relay read is
    // added to output() afterwards. Returns as LinePeer::wait.
    int runPeer(const std::string& workDir, const std::vector<std::string>& argv, int timeoutMs,
                const RelayOptions& options = {}, std::string* peerErr = nullptr);

  private:
    bool spawn(const std::vector<std::string>& argv, int in, int out);
    bool readMore(int timeoutMs);
    void kill();
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    int slave_ = -1;  // pty mode: the terminal program's end
    int inFd_ = -1;   // where send() writes
    int outFd_ = -1;  // where expect() reads
    int errFd_ = -1;
    std::string ptyPath_;
    std::string out_;
    size_t cursor_ = 0;
    std::mutex errMu_;
    std::string err_;
    std::thread errReader_;
};

// Real time, except that sleeps of a second or more (the pauses before and
// after a transfer) pass at once; waits for input still take real time.
class BriskClock : public plat::Clock {
  public:
    uint64_t nowUs() override;
    void sleepUs(uint64_t us) override;
    bool isVirtual() const override { return false; }

  private:
    std::atomic<uint64_t> skipped_{0};
};

// A board of this process whose console is the slave of a fresh
// pseudo-terminal at 115200 bit/s; the master is the line for peers. The flash
// disk is formatted and the working directory is "/DskVol/files".
class HostLineBoard {
  public:
    // With a slave path, the console is that pty's slave and the caller keeps
    // the master (a board in a child process on a pty the parent opened).
    explicit HostLineBoard(std::string slavePath = {});
    ~HostLineBoard();
    HostLineBoard(const HostLineBoard&) = delete;
    HostLineBoard& operator=(const HostLineBoard&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    int lineFd() const { return master_; }
    const std::string& dir() const { return dir_; }
    std::string hostPath(const std::string& name) const;  // under "/DskVol/files"
    void writeFile(const std::string& name, const std::string& bytes);
    std::string readFile(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Names of the files in "/DskVol/files".
    std::vector<std::string> files() const;

  private:
    bool ok_ = false;
    std::string error_;
    std::string dir_;
    int master_ = -1;
    int guard_ = -1;  // a slave descriptor kept open so the master never sees a hang-up
};

}  // namespace stktest
