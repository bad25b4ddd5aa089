// The host's terminal sessions that are not about host-only features, run on
// the board build: stkboot.elf on QEMU through the runner, picocom on its
// console with sx -k and rx -c as picocom's send and receive commands, the
// same script rows (tests/boot/terminal_sessions.txt) with the board's own
// expectations where they differ: the demo operational code runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/pty_harness.h"
#include "support/qemu_runner.h"
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
        bool done = term_.expect(mustSucceed ? "*** exit status: 0 ***" : "*** exit status: ", 180000);
        ASSERT_TRUE(done) << term_.unmatched() << runner_.errText();
    }
    std::string boardDir_ = stktest::makeTempDir("stktarget-"),
                peerDir_ = stktest::makeTempDir("stkpicocom-");
    stktest::QemuRunner runner_;
    stktest::BootProcess term_;
};

TEST_P(TargetSession, RunsAsScripted) {
    ASSERT_NO_FATAL_FAILURE(writePeerFiles());
    ASSERT_TRUE(runner_.start({"--elf", kBuild + "/stkboot.elf", "--board", boardDir_}))
        << runner_.errText();
    ASSERT_TRUE(term_.startTerminal({"picocom", "-b", "9600", "--send-cmd", "sx -k",
                                     "--receive-cmd", "rx -c", runner_.ptyPath()},
                                    peerDir_));
    ASSERT_TRUE(term_.expect("Terminal ready")) << term_.unmatched() << term_.errText();
    for (const std::string& step : stktest::sessionSteps(GetParam(), "ppce500")) {
        SCOPED_TRACE(step.substr(0, 80));
        const std::string arg = step.substr(1);
        switch (step[0]) {
            case '<': term_.send(arg); break;
            case '>': ASSERT_TRUE(term_.expect(arg)) << term_.unmatched() << runner_.errText(); break;
            case '~': std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg))); break;
            case '@':
            case '?': ASSERT_NO_FATAL_FAILURE(transfer(arg, step[0] == '@')); break;
            case '%': stktest::expectEventLog(peerDir_, arg); break;
            default: FAIL() << "a step the board build does not know";
        }
    }
}

// An operator's first run: the runner puts the demo code on a fresh board,
// which offers it at start-up and, left alone, starts it; a key resets.
TEST(TargetDemoBoard, StartsTheDemoCodeByItself) {
    const std::string board = stktest::makeTempDir("stkdemo-");
    {
        stktest::QemuRunner runner;
        stktest::BootProcess term;
        ASSERT_TRUE(runner.start({"--elf", kBuild + "/stkboot.elf", "--board", board, "--demo"}))
            << runner.errText();
        ASSERT_TRUE(term.attach(runner.ptyPath()));
        for (const char* text : {"Calculating CRC of active image...done...", "Select (1, 2):",
                                 "|||||||||||||||||||||||||||||||||||||||||||||||||||\r\n",
                                 "Demo operational code is running on the board.",
                                 "load checksum ok", "Press a key to reset the board."})
            ASSERT_TRUE(term.expect(text)) << term.unmatched() << runner.errText();
        term.send("x");
        EXPECT_TRUE(term.expect("Boot Menu Version")) << term.unmatched();
    }
    stktest::removeTree(board);
}

INSTANTIATE_TEST_SUITE_P(Sessions, TargetSession,
                         ::testing::ValuesIn(stktest::sessionNames("ppce500")),
                         [](const auto& i) { return i.param; });

}  // namespace
