// The boot program itself on QEMU's ppce500 machine, through the runner's
// pty like a terminal: a fresh board starts as the host's program shows it
// (the flash volume's figures aside, the chips differ), the console speed and
// the reset answer as on the host, and a fault prints its report and halts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/pty_harness.h"

namespace {

namespace fs = std::filesystem;
using stktest::BootProcess;
using stktest::QemuRunner;

const std::string kBootElf = std::string(STK_PPCE500_BUILD) + "/stkboot.elf";
const char kMenuPrompt[] = "[Boot Menu] ";

std::string makeBoard() {
    std::string templ = (fs::temp_directory_path() / "stktarget-XXXXXX").string();
    return ::mkdtemp(templ.data()) ? templ : "";
}

// The volume's figures depend on the flash chip's geometry.
std::string withoutFigures(const std::string& text) {
    static const std::regex figures(
        "(total number of clusters|total bytes on volume|free bytes on volume): *[0-9]+");
    return std::regex_replace(text, figures, "$1: N");
}

// Types `input` once `prompt` shows, and returns the output up to the next
// menu prompt.
std::string answer(BootProcess& con, const std::string& input) {
    size_t from = con.output().size();
    con.send(input);
    EXPECT_TRUE(con.expect(kMenuPrompt, 60000)) << con.unmatched();
    return con.output().substr(from);
}

TEST(TargetBoot, AFreshBoardStartsAsOnTheHostAndTakesSpeedAndReset) {
    std::string hostBoard = makeBoard(), targetBoard = makeBoard();
    BootProcess host, target;
    QemuRunner runner;
    ASSERT_TRUE(host.start(hostBoard + "/b", {"--volume", "flash"})) << host.errText();
    ASSERT_TRUE(runner.start({"--elf", kBootElf, "--board", targetBoard})) << runner.errText();
    ASSERT_TRUE(target.attach(runner.ptyPath()));
    for (BootProcess* con : {&host, &target})
        ASSERT_TRUE(con->expect(kMenuPrompt, 120000)) << con->unmatched();
    EXPECT_EQ(withoutFigures(target.output()), withoutFigures(host.output()));
    // The console speed: 115200 bit/s, then back to 9600.
    for (const char* input : {"2\r8\r", "2\r4\r"}) {
        std::string onHost = answer(host, input);
        EXPECT_EQ(answer(target, input), onHost);
    }
    // A reset starts the board again: the volume is kept, the menu comes back.
    target.send("9\r");
    ASSERT_TRUE(target.expect("(y/n):")) << target.unmatched();
    target.send("y\r");
    ASSERT_TRUE(target.expect("Boot Menu Version: 12 Dec 2010", 60000)) << target.unmatched();
    EXPECT_TRUE(target.expect(kMenuPrompt, 60000)) << target.unmatched();
    EXPECT_EQ(target.unmatched().find("formatting"), std::string::npos);
    std::error_code ec;
    for (const std::string& dir : {hostBoard, targetBoard}) fs::remove_all(dir, ec);
}

TEST(TargetBoot, AFaultInTheProgramIsReportedAndTheBoardHalts) {
    std::string board = makeBoard();
    BootProcess target;
    QemuRunner runner;
    ASSERT_TRUE(
        runner.start({"--elf", kBootElf, "--board", board, "--append", "stkboot.fault-test"}))
        << runner.errText();
    ASSERT_TRUE(target.attach(runner.ptyPath()));
    ASSERT_TRUE(target.expect("*** exception: data TLB error (vector 13)", 30000))
        << target.unmatched();
    EXPECT_TRUE(target.expect("DEAR e0000000  ESR 00800000")) << target.unmatched();
    EXPECT_TRUE(target.expect("r31 ")) << target.unmatched();
    EXPECT_TRUE(target.expect("*** halted")) << target.unmatched();
    // Halted: nothing more comes, the program never reaches its menu, and
    // QEMU still runs.
    EXPECT_FALSE(target.expect("Boot Menu", 2000));
    EXPECT_EQ(runner.wait(0), -1);
    std::error_code ec;
    fs::remove_all(board, ec);
}

}  // namespace
