// The host's terminal sessions that are not about host-only features, run on
// the board build: stkboot.elf on QEMU through the runner, picocom on its
// console with sx -k and rx -c as picocom's send and receive commands, the
// same script rows (tests/boot/terminal_sessions.txt) with the board's own
// expectations where they differ: the demo operational code runs. A board
// that starts with an image is the runner's demo board (--demo).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/pty_harness.h"
#include "support/session_scripts.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

const std::string kBuild = STK_PPCE500_BUILD;

class TargetSession : public ::testing::TestWithParam<std::string> {
  protected:
    ~TargetSession() override {
        stktest::removeTree(boardDir_);
        stktest::removeTree(peerDir_);
    }
    // The board's own files: the demo code packed as the image to load, and
    // linked at the diagnostics image's address.
    void writePeerFiles() {
        stktest::writeSharedPeerFiles(peerDir_);
        std::string demo = stktest::readHostFile(kBuild + "/demo/ppce500_demo_off.bin");
        ASSERT_FALSE(demo.empty());
        stktest::writeHostFile(peerDir_ + "/xcode.bin", stktest::makeImage({.payload = demo}));
        stktest::writeHostFile(peerDir_ + "/diag.bin",
                               stktest::readHostFile(kBuild + "/demo/ppce500_diag_off.bin"));
    }
    // picocom's send (C-a C-s) or receive (C-a C-r) command on a file, once
    // the operator has read the announcement.
    void transfer(const std::string& command, bool mustSucceed) {
        ASSERT_TRUE(command.starts_with("sx -k ") || command.starts_with("rx -c ")) << command;
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        term_.send({'\x01', command[0] == 's' ? '\x13' : '\x12'});
        ASSERT_TRUE(term_.expect("*** file: ")) << term_.unmatched();
        term_.send(command.substr(6) + "\r");
        bool done =
            term_.expect(mustSucceed ? "*** exit status: 0 ***" : "*** exit status: ", 180000);
        ASSERT_TRUE(done) << term_.unmatched() << runner_.errText();
    }
    std::string boardDir_ = stktest::makeTempDir("stktarget-"),
                peerDir_ = stktest::makeTempDir("stkpicocom-");
    stktest::QemuRunner runner_;
    stktest::BootProcess term_;
};

TEST_P(TargetSession, RunsAsScripted) {
    ASSERT_NO_FATAL_FAILURE(writePeerFiles());
    const std::vector<std::string> steps = stktest::sessionSteps(GetParam(), "ppce500", true);
    std::vector<std::string> options{"--elf", kBuild + "/stkboot.elf", "--board", boardDir_};
    if (steps[0] == "V") options.push_back("--demo");
    ASSERT_TRUE(runner_.start(options)) << runner_.errText();
    // rx's last ACK would not always outlive its exit flush on QEMU's
    // pseudo-terminal, as it does on a serial line (support/preload/pty_exit_drain.cpp).
    const std::string rx = std::string("env LD_PRELOAD=") + STK_PTY_EXIT_DRAIN + " rx -c";
    ASSERT_TRUE(term_.startTerminal(
        {"picocom", "-b", "9600", "--send-cmd", "sx -k", "--receive-cmd", rx, runner_.ptyPath()},
        peerDir_));
    ASSERT_TRUE(term_.expect("Terminal ready")) << term_.unmatched() << term_.errText();
    for (const std::string& step : steps) {
        SCOPED_TRACE(step.substr(0, 80));
        const std::string arg = step.substr(1);
        switch (step[0]) {
            case '<':
                term_.send(arg);
                break;
            case '>':
                ASSERT_TRUE(term_.expect(arg)) << term_.unmatched() << runner_.errText();
                break;
            case '~':
                std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg)));
                break;
            case '@':
            case '?':
                ASSERT_NO_FATAL_FAILURE(transfer(arg, step[0] == '@'));
                break;
            case '%':
                stktest::expectEventLog(peerDir_, arg);
                break;
            case 'V':
                break;
            default:
                FAIL() << "a step the board build does not know";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, TargetSession,
                         ::testing::ValuesIn(stktest::sessionNames("ppce500")),
                         [](const auto& i) { return i.param; });

}  // namespace
