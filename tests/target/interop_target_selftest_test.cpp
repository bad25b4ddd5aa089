// The selftest program on QEMU's ppce500 machine, driven through the runner
// the way an operator's terminal would: its own checks, real time, power-off,
// a reset under --no-reboot, and the runner's flash file. Needs the target
// build (scripts/test-ppce500.sh makes it).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

const std::string kSelftest = std::string(STK_PPCE500_BUILD) + "/ppce500_selftest.elf";
constexpr size_t kFlashBytes = 32u << 20;

class TargetSelftest : public ::testing::Test {
  protected:
    ~TargetSelftest() override { stktest::removeTree(board_); }
    // Starts the selftest on the board folder and attaches like a terminal
    // program; the board runs from that moment, so its checks come first.
    void boot(std::vector<std::string> extra = {}) {
        std::vector<std::string> options{"--elf", kSelftest, "--board", board_};
        options.insert(options.end(), extra.begin(), extra.end());
        ASSERT_TRUE(runner_.start(options)) << runner_.errText();
        ASSERT_TRUE(terminal_.attach(runner_.ptyPath()));
        ASSERT_TRUE(terminal_.expect("checks, 0 failed", 30000)) << terminal_.unmatched();
        ASSERT_TRUE(terminal_.expect("p power-off)> ")) << terminal_.unmatched();
    }
    std::string board_ = stktest::makeTempDir("stktarget-");
    stktest::QemuRunner runner_;
    stktest::BootProcess terminal_;
};

// The platform's own checks, the time base against real time, and power-off.
TEST_F(TargetSelftest, ChecksPassTimeIsRealAndPowerOffEndsQemuWithZero) {
    boot();
    // The runner made the flash chip: the whole 32 MiB, erased.
    std::string flash = stktest::readHostFile(board_ + "/norflash.bin");
    EXPECT_EQ(flash.size(), kFlashBytes);
    EXPECT_EQ(std::count(flash.begin(), flash.end(), '\xff'), std::ptrdiff_t(kFlashBytes));
    terminal_.send("d\r");
    ASSERT_TRUE(terminal_.expect("tick")) << terminal_.unmatched();
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(terminal_.expect("tock")) << terminal_.unmatched();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(seconds, 0.9);
    EXPECT_LT(seconds, 1.5);
    terminal_.send("p\r");
    ASSERT_TRUE(terminal_.expect("powering off")) << terminal_.unmatched();
    EXPECT_EQ(runner_.wait(20000), 0) << runner_.errText();
}

TEST_F(TargetSelftest, NoRebootTurnsAResetIntoAnExit) {
    boot({"--no-reboot"});
    terminal_.send("r\r");
    ASSERT_TRUE(terminal_.expect("resetting")) << terminal_.unmatched();
    EXPECT_EQ(runner_.wait(20000), 0) << runner_.errText();
}

TEST_F(TargetSelftest, RunnerRefusesAFlashFileOfAnotherSize) {
    stktest::writeHostFile(board_ + "/norflash.bin", std::string(1u << 20, '\xff'));
    EXPECT_FALSE(runner_.start({"--elf", kSelftest, "--board", board_}));
    EXPECT_EQ(runner_.wait(20000), 1);
    EXPECT_NE(runner_.errText().find("norflash.bin is 1048576 bytes; QEMU's flash must be exactly "
                                     "33554432 bytes (32 MiB)"),
              std::string::npos)
        << runner_.errText();
}

}  // namespace
