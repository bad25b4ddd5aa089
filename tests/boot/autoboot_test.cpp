// The auto-boot choice and start-up transcripts on the scripted console.
#include <string>

#include "boot/boot.h"
#include "bootflash/bootflash.h"
#include "support/test_board.h"

namespace {

using stktest::BoardTest;
using stktest::TestBoard;

const char* kPromptKind1 =
    "Select an option. If no selection in 2 seconds then\n"
    "operational code will start.\n\n"
    "1 - Start operational code.\n"
    "2 - Start Boot Menu.\n"
    "Select (1, 2):";

TEST_F(BoardTest, AutoBootStartsAfterExactlyTwoSecondsWithoutAKey) {
    uint64_t start = tb.clock().nowUs();
    EXPECT_EQ(BootMenuSelection(1), 1);
    EXPECT_EQ(tb.clock().nowUs() - start, 2000000u);
    EXPECT_EQ(con().output(), std::string(kPromptKind1) + "\n");
}

TEST_F(BoardTest, AutoBootAnswers) {
    uint64_t start = tb.clock().nowUs();
    con().send("\r");
    EXPECT_EQ(BootMenuSelection(1), 1);
    EXPECT_EQ(tb.clock().nowUs(), start);

    con().send("2\r");
    EXPECT_EQ(BootMenuSelection(1), 2);
    con().send("1\r");
    EXPECT_EQ(BootMenuSelection(1), 1);
    // Only the first character counts.
    con().send("2xyz\r");
    EXPECT_EQ(BootMenuSelection(1), 2);
    con().send("12\r");
    EXPECT_EQ(BootMenuSelection(1), 1);
}

TEST_F(BoardTest, AnyOtherAnswerPromptsAgainWithAFreshWait) {
    con().sendAfter(1500000, "3\r");
    uint64_t start = tb.clock().nowUs();
    EXPECT_EQ(BootMenuSelection(1), 1);
    // 1.5 s to the answer, then another full 2 s.
    EXPECT_EQ(tb.clock().nowUs() - start, 3500000u);
    std::string once = std::string(kPromptKind1) + "\n";
    EXPECT_EQ(con().output(), once + once);
}

TEST_F(BoardTest, PromptTextsByKind) {
    BootMenuSelection(4);
    EXPECT_EQ(con().takeOutput(),
              "Select an option. If no selection in 2 seconds then\n"
              "Boot Code Update will Start ..\n\n"
              "1 - Start Boot Code Update.\n"
              "2 - Start Boot Menu.\n"
              "Select (1, 2):\n");
    BootMenuSelection(3);
    EXPECT_EQ(con().takeOutput(),
              "Select an option. If no selection in 2 seconds then\n"
              "diagnostics will start.\n\n"
              "1 - Start diagnostic code.\n"
              "2 - Start Boot Menu.\n"
              "Select (1, 2):\n");
}

TEST_F(BoardTest, VeryLongAutoBootAnswerIsCutSafely) {
    con().send(std::string(10000, '2') + "\r");
    EXPECT_EQ(BootMenuSelection(1), 2);
}

// A fresh board: the flash disk is formatted, there is no image, and the
// operator lands in the Boot Menu without an auto-boot choice.
TEST(StartUp, FreshBoardFormatsAndEntersTheMenu) {
    TestBoard tb(false);
    auto stop = tb.run([] { usrAppInit(); });
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::EndOfInput);
    const std::string& out = tb.con().output();
    EXPECT_EQ(
        out.rfind(std::string(25, '\n') + "usrTffsConfig returned 0xffffffff, formatting...\n", 0),
        0u);
    EXPECT_NE(out.find("\rFormatting ... 100%\nSetup ... "), std::string::npos);
    EXPECT_NE(out.find("\n\nTFFS Formatted....Device details...\n"), std::string::npos);
    EXPECT_NE(out.find("Boot Menu Version: 12 Dec 2010\n"
                       "\nCalculating CRC of active image..."),
              std::string::npos);
    EXPECT_NE(out.find("\n\nActive image failed crc check. Activating backup image \n"
                       "No Backup Image available.\n"
                       "Failed to activate Backup Image.\n"
                       "Options available\n"),
              std::string::npos);
    EXPECT_EQ(out.find("Select (1, 2):"), std::string::npos);
    EXPECT_TRUE(tb.disk().mounted());
    EXPECT_TRUE(tb.exists("/DskVol/files"));
    EXPECT_EQ(tb.con().baud(), 9600);
    EXPECT_EQ(tb.con().options() & plat::OPT_MON_TRAP, 0);
}

TEST(StartUp, SecondStartMountsWithoutFormatting) {
    TestBoard tb(false);
    tb.run([] { usrAppInit(); });
    tb.writeFile("keep", "x");
    tb.con().clearOutput();
    plat::resetProcessState();
    tb.disk().powerCycle();
    tb.run([] { usrAppInit(); });
    EXPECT_EQ(tb.con().output().find("formatting"), std::string::npos);
    EXPECT_EQ(tb.readFile("keep"), "x");
}

TEST(StartUp, ErasedStartOfTheFlashDiskReformats) {
    TestBoard tb(false);
    tb.run([] { usrAppInit(); });
    tb.writeFile("gone", "x");
    // Erase the start of the flash disk, where the format lives.
    ASSERT_EQ(Flash_Erase(0xFE000000, 0xFE040000 - 1), 0);
    tb.con().clearOutput();
    plat::resetProcessState();
    tb.disk().powerCycle();
    tb.run([] { usrAppInit(); });
    EXPECT_NE(tb.con().output().find("formatting..."), std::string::npos);
    EXPECT_FALSE(tb.exists("gone"));
}

TEST(StartUp, UnwritableBoardFolderHalts) {
    TestBoard tb(false);
    // A board folder that cannot be written: a file stands where it should be.
    std::string blocked = tb.dir() + "/blocked";
    stktest::writeHostFile(blocked, "");
    plat::installBoard(
        std::make_unique<plat::Board>(std::make_unique<plat::ScriptedConsole>(tb.clock()),
                                      std::make_unique<plat::VirtualClock>(), blocked + "/board"));
    auto stop = tb.run([] { usrAppInit(); });
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::Halt);
    auto& con = static_cast<plat::ScriptedConsole&>(plat::board().console());
    const std::string& out = con.output();
    EXPECT_NE(out.find("tffsDevFormat returned 0xffffffff\n"), std::string::npos);
    EXPECT_NE(
        out.find("usrTffsConfig returned 0xffffffff\n\n\nTFFS Formatted....Device details...\n"),
        std::string::npos);
    EXPECT_NE(out.find("\n\nERROR: tffsPPCInit failed.\n       Boot cannot continue.\n"
                       "       Code halted. Manual reset required.\n\n"),
              std::string::npos);
}

TEST(StartUp, FailedBaudRateIsReportedAndStartUpContinues) {
    TestBoard tb(false);
    tb.con().failBaud = true;
    tb.run([] { usrAppInit(); });
    EXPECT_EQ(
        tb.con().output().rfind(
            "../../../bsp/cpu/tb8541/vxworks/start/bootConfig:1245: Attempt to set baudrate to "
            "9600 failed\n",
            0),
        0u);
    EXPECT_NE(tb.con().output().find("Boot Menu Version"), std::string::npos);
}

}  // namespace
