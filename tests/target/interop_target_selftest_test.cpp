// The board build on QEMU's ppce500 machine, driven through the runner the
// way an operator's terminal would: the selftest program's own checks, the
// console both ways, real time, the flash window, the fault report, reset and
// power-off. Needs the target build (scripts/test-ppce500.sh makes it).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/pty_harness.h"
#include "support/qemu_runner.h"

namespace {

namespace fs = std::filesystem;
using stktest::BootProcess;
using stktest::QemuRunner;

const std::string kSelftest = std::string(STK_PPCE500_BUILD) + "/ppce500_selftest.elf";
const char kBanner[] = "ppce500 selftest";
const char kPassed[] = "checks, 0 failed";
const char kPrompt[] = "p power-off)> ";
constexpr size_t kFlashBytes = 32u << 20;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TargetSelftest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "stktarget-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        board_ = templ;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(board_, ec);
    }
    // Starts the selftest on the board folder and attaches like a terminal
    // program; the board runs from that moment, so its banner is the first
    // thing to arrive.
    void boot(std::vector<std::string> extra = {}) {
        std::vector<std::string> options{"--elf", kSelftest, "--board", board_};
        options.insert(options.end(), extra.begin(), extra.end());
        ASSERT_TRUE(runner_.start(options)) << runner_.errText();
        ASSERT_TRUE(terminal_.attach(runner_.ptyPath()));
        ASSERT_TRUE(terminal_.expect(kBanner, 30000)) << runner_.errText();
    }
    void expectChecksPass() {
        ASSERT_TRUE(terminal_.expect(kPassed, 30000)) << terminal_.unmatched();
        ASSERT_TRUE(terminal_.expect(kPrompt)) << terminal_.unmatched();
    }
    std::string board_;
    QemuRunner runner_;
    BootProcess terminal_;
};

TEST_F(TargetSelftest, ChecksPassAndTheConsoleWorksBothWays) {
    std::string flash(kFlashBytes, '\xff');
    flash.replace(0, 4, "\x12\x34\x56\x78");
    flash.replace(0x1F00000, 4, "BOOT");
    std::ofstream(board_ + "/norflash.bin", std::ios::binary) << flash;
    boot();
    // The flash file's offsets are the board's addresses from 0xFE000000.
    EXPECT_TRUE(terminal_.expect("flash fe000000: 12 34 56 78 fff00000: 42 4f 4f 54"))
        << terminal_.unmatched();
    expectChecksPass();
    terminal_.send("e\r");
    ASSERT_TRUE(terminal_.expect("line> ")) << terminal_.unmatched();
    terminal_.send("hello board\r");
    EXPECT_TRUE(terminal_.expect("echo: [hello board]")) << terminal_.unmatched();
}

TEST_F(TargetSelftest, TimeBaseKeepsRealTime) {
    boot();
    expectChecksPass();
    terminal_.send("d\r");
    ASSERT_TRUE(terminal_.expect("tick")) << terminal_.unmatched();
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(terminal_.expect("tock")) << terminal_.unmatched();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(seconds, 0.9);
    EXPECT_LT(seconds, 1.5);
}

TEST_F(TargetSelftest, ResetComesBackAndPowerOffEndsQemuWithZero) {
    boot();
    // The runner made the flash chip: the whole 32 MiB, erased.
    std::string flash = readFile(board_ + "/norflash.bin");
    EXPECT_EQ(flash.size(), kFlashBytes);
    EXPECT_EQ(std::count(flash.begin(), flash.end(), '\xff'), std::ptrdiff_t(kFlashBytes));
    expectChecksPass();
    terminal_.send("r\r");
    ASSERT_TRUE(terminal_.expect("resetting")) << terminal_.unmatched();
    ASSERT_TRUE(terminal_.expect(kBanner)) << terminal_.unmatched();
    expectChecksPass();
    terminal_.send("p\r");
    ASSERT_TRUE(terminal_.expect("powering off")) << terminal_.unmatched();
    EXPECT_EQ(runner_.wait(20000), 0) << runner_.errText();
}

TEST_F(TargetSelftest, FaultIsReportedAndHalts) {
    boot();
    expectChecksPass();
    terminal_.send("f\r");
    ASSERT_TRUE(terminal_.expect("*** exception: data TLB error (vector 13)"))
        << terminal_.unmatched();
    EXPECT_TRUE(terminal_.expect("DEAR e0000000  ESR 00800000")) << terminal_.unmatched();
    EXPECT_TRUE(terminal_.expect("r31 ")) << terminal_.unmatched();
    EXPECT_TRUE(terminal_.expect("*** halted")) << terminal_.unmatched();
    // Halted: neither running on (no prompt) nor gone.
    EXPECT_FALSE(terminal_.expect(kPrompt, 1000));
    EXPECT_EQ(runner_.wait(0), -1);
}

TEST_F(TargetSelftest, NoRebootTurnsAResetIntoAnExit) {
    boot({"--no-reboot"});
    expectChecksPass();
    terminal_.send("r\r");
    ASSERT_TRUE(terminal_.expect("resetting")) << terminal_.unmatched();
    EXPECT_EQ(runner_.wait(20000), 0) << runner_.errText();
}

TEST_F(TargetSelftest, RunnerRefusesAFlashFileOfAnotherSize) {
    std::ofstream(board_ + "/norflash.bin", std::ios::binary) << std::string(1u << 20, '\xff');
    EXPECT_FALSE(runner_.start({"--elf", kSelftest, "--board", board_}));
    EXPECT_EQ(runner_.wait(20000), 1);
    EXPECT_NE(runner_.errText().find("norflash.bin is 1048576 bytes; QEMU's flash must be exactly "
                                     "33554432 bytes (32 MiB)"),
              std::string::npos)
        << runner_.errText();
}

}  // namespace
