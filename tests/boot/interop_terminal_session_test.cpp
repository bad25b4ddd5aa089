// The boot program as an operator meets it: stkboot with its console on a
// pseudo-terminal, a terminal program on the other end, real time.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

using stktest::BootProcess;

const char kBanner[] = "Boot Menu Version: 12 Dec 2010";
const char kPrompt[] = "[Boot Menu] ";

class TerminalSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(stktest::stkbootPath().c_str(), X_OK) != 0)
            GTEST_SKIP() << "stkboot has not been built";
        dir_ = stktest::makeTempDir("stkterm-");
    }
    void TearDown() override {
        if (!dir_.empty()) stktest::removeTree(dir_);
    }

    // Start-up up to the menu prompt; answers "2" when an auto-boot choice
    // is offered (a valid image is present).
    void reachMenu(BootProcess& boot) {
        ASSERT_TRUE(boot.expect(kBanner, 20000)) << boot.output();
        int which = boot.expectAny({"Select (1, 2):", kPrompt}, 10000);
        ASSERT_GE(which, 0) << boot.output();
        if (which == 0) {
            boot.send("2\r");
            ASSERT_TRUE(boot.expect(kPrompt)) << boot.unmatched();
        }
    }

    int slaveSpeed(int fd) {
        struct termios t;
        if (::tcgetattr(fd, &t) != 0) return -1;
        switch (::cfgetospeed(&t)) {
            case B9600:
                return 9600;
            case B115200:
                return 115200;
            default:
                return 0;
        }
    }

    bool waitSpeed(int fd, int bps) {
        for (int i = 0; i < 300; ++i) {
            if (slaveSpeed(fd) == bps) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string dir_;
};

TEST_F(TerminalSession, MenuBaudRateChangesAndResetRunsStartUpAgain) {
    BootProcess boot;
    ASSERT_TRUE(boot.startPty(dir_)) << boot.errText();
    reachMenu(boot);
    EXPECT_EQ(slaveSpeed(boot.slaveFd()), 9600);

    // The board does the line editing: the reply is echoed, Enter as CR LF.
    boot.send("?\r");
    ASSERT_TRUE(boot.expect("?\r\n"));
    ASSERT_TRUE(boot.expect("Options available\r\n1  - Start operational code\r\n"));
    ASSERT_TRUE(boot.expect("13 - Load new Diagnostics Image using XMODEM\r\n"));
    ASSERT_TRUE(boot.expect(kPrompt));

    boot.send("2\r");
    ASSERT_TRUE(boot.expect("Select baud rate:\r\n"));
    ASSERT_TRUE(boot.expect("8 - 115200\r\n0 - no change\r\n-> "));
    boot.send("8\r");
    ASSERT_TRUE(
        boot.expect("Setting baud rate to 115200, you must change your terminal baud rate."));
    ASSERT_TRUE(boot.expect(kPrompt, 5000));
    EXPECT_TRUE(waitSpeed(boot.slaveFd(), 115200)) << "speed " << slaveSpeed(boot.slaveFd());

    boot.send("2\r");
    ASSERT_TRUE(boot.expect("-> "));
    boot.send("4\r");
    ASSERT_TRUE(boot.expect("Setting baud rate to 9600"));
    ASSERT_TRUE(boot.expect(kPrompt, 5000));
    EXPECT_TRUE(waitSpeed(boot.slaveFd(), 9600));

    // A backspace takes back the wrong digit: "5" erased, "0" means no change.
    boot.send("2\r");
    ASSERT_TRUE(boot.expect("-> "));
    boot.send("5\b0\r");
    ASSERT_TRUE(boot.expect("5\b \b0"));
    ASSERT_TRUE(boot.expect("Baud rate is not changed"));
    ASSERT_TRUE(boot.expect(kPrompt));

    boot.send("9\r");
    ASSERT_TRUE(boot.expect("Are you SURE you want to reset the system? (y/n):"));
    boot.send("y\r");
    ASSERT_TRUE(boot.expectErr("board reset", 10000)) << boot.errText();
    reachMenu(boot);
    EXPECT_EQ(slaveSpeed(boot.slaveFd()), 9600);
    EXPECT_TRUE(boot.running());
}

// With a valid image on the board, start-up checks it and offers the
// two-second auto-boot choice; "2" leads to the menu instead of the hand-off.
TEST_F(TerminalSession, AutoBootChoiceWithAValidImageLeadsToTheMenu) {
    if (stktest::stkimagePath().empty()) GTEST_SKIP() << "the image tool has not been built";
    {
        // The first start formats the flash disk.
        BootProcess first;
        ASSERT_TRUE(first.startPty(dir_)) << first.errText();
        reachMenu(first);
    }
    std::string firmware = dir_ + "/firmware.bin";
    stktest::writeHostFile(firmware, stktest::randomBytes(30000, 3));
    std::string out;
    ASSERT_EQ(stktest::runTool({stktest::stkimagePath(), "create", firmware, "-o",
                                dir_ + "/DskVol/files/image1", "--compression", "zlib"},
                               &out),
              0)
        << out;

    BootProcess boot;
    ASSERT_TRUE(boot.startPty(dir_)) << boot.errText();
    ASSERT_TRUE(boot.expect(kBanner, 20000)) << boot.output();
    ASSERT_TRUE(boot.expect("Calculating CRC of active image...done...", 20000))
        << boot.unmatched();
    ASSERT_TRUE(boot.expect("operational code will start."));
    ASSERT_TRUE(boot.expect("2 - Start Boot Menu.\r\nSelect (1, 2):"));
    boot.send("2\r");
    ASSERT_TRUE(boot.expect(kPrompt)) << boot.unmatched();
    EXPECT_EQ(boot.errText().find("hand-off"), std::string::npos);

    // Left alone, the choice runs out after two seconds and the code starts.
    boot.send("9\r");
    ASSERT_TRUE(boot.expect("(y/n):"));
    boot.send("y\r");
    ASSERT_TRUE(boot.expect("Select (1, 2):", 20000)) << boot.unmatched();
    EXPECT_TRUE(boot.expectErr("hand-off to entry 0x00010000", 10000)) << boot.errText();
}

TEST_F(TerminalSession, ResetDeclinedStaysInTheMenu) {
    BootProcess boot;
    ASSERT_TRUE(boot.startPty(dir_)) << boot.errText();
    reachMenu(boot);
    boot.send("9\r");
    ASSERT_TRUE(boot.expect("(y/n):"));
    boot.send("n\r");
    ASSERT_TRUE(boot.expect(kPrompt));
    boot.settle(300);
    EXPECT_EQ(boot.output().find(kBanner), boot.output().rfind(kBanner));
}

// Bytes of every value but digits, signs and spaces, so that no line selects
// an option: the loop must only read, echo and prompt again.
std::string junkWithoutDigits(size_t n, uint32_t seed) {
    std::string raw = stktest::randomBytes(n * 2, seed), out;
    for (char c : raw) {
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == ' ' || c == '\t' || c == '?')
            continue;
        out.push_back(c);
        if (out.size() == n) break;
    }
    return out;
}

TEST_F(TerminalSession, StrangeInputNeitherCrashesNorHangsTheMenu) {
    BootProcess boot;
    ASSERT_TRUE(boot.startPty(dir_)) << boot.errText();
    reachMenu(boot);

    auto stillAnswers = [&](const char* what) {
        boot.settle(200);
        boot.send("\r");
        ASSERT_TRUE(boot.expect(kPrompt, 10000)) << what;
        boot.send("?\r");
        ASSERT_TRUE(boot.expect("Options available", 10000)) << what;
        ASSERT_TRUE(boot.expect(kPrompt, 10000)) << what;
        ASSERT_TRUE(boot.running()) << what;
    };

    std::string all;
    for (int b = 0; b < 256; ++b)
        if (!(b >= '0' && b <= '9') && b != '+' && b != '-' && b != ' ' && b != '?' && b != '\t')
            all.push_back(char(b));
    boot.send(all + "\r");
    stillAnswers("every byte value");

    boot.send(std::string(50, '\0') + "\r" + std::string(3, '\0') + "\n");
    stillAnswers("NUL bytes");

    boot.send(std::string(10 * 1024, 'x') + "\r");
    stillAnswers("10 KiB line");

    boot.send(std::string(2000, '\b') + "\r" + std::string(500, 0x7f) + "\r");
    stillAnswers("only backspaces");

    boot.send(junkWithoutDigits(20000, 7) + "\r");
    stillAnswers("random bytes");

    // A long line that begins with a valid option is still that option.
    boot.send("2" + std::string(5000, 'z') + "\r");
    ASSERT_TRUE(boot.expect("Select baud rate:"));
    boot.send("0\r");
    ASSERT_TRUE(boot.expect("Baud rate is not changed"));
    stillAnswers("long option line");
}

TEST_F(TerminalSession, EndOfInputEndsTheProgramCleanly) {
    BootProcess boot;
    ASSERT_TRUE(boot.startStdio(dir_)) << boot.errText();
    ASSERT_TRUE(boot.expect(kBanner, 20000)) << boot.output();
    int which = boot.expectAny({"Select (1, 2):", kPrompt}, 10000);
    ASSERT_GE(which, 0);
    if (which == 0) {
        boot.send("2\n");
        ASSERT_TRUE(boot.expect(kPrompt));
    }
    boot.send("?\n");
    ASSERT_TRUE(boot.expect(kPrompt));
    boot.closeInput();
    EXPECT_EQ(boot.waitExit(10000), 0) << boot.errText();
    EXPECT_NE(boot.errText().find("console input ended"), std::string::npos) << boot.errText();
}

TEST_F(TerminalSession, EndOfInputAtAConfirmationDoesNotReset) {
    BootProcess boot;
    ASSERT_TRUE(boot.startStdio(dir_)) << boot.errText();
    int which = boot.expectAny({"Select (1, 2):", kPrompt}, 20000);
    ASSERT_GE(which, 0) << boot.output();
    if (which == 0) {
        boot.send("2\n");
        ASSERT_TRUE(boot.expect(kPrompt));
    }
    boot.send("9\n");
    ASSERT_TRUE(boot.expect("(y/n):"));
    boot.closeInput();
    EXPECT_EQ(boot.waitExit(10000), 0) << boot.errText();
    EXPECT_EQ(boot.errText().find("board reset"), std::string::npos) << boot.errText();
}

}  // namespace
