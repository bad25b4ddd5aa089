// Boot Menu transcripts on the scripted console.
#include <string>

#include "boot/boot.h"
#include "image/dim.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

const char* kMenu =
    "Options available\n"
    "1  - Start operational code\n"
    "2  - Change baud rate\n"
    "3  - Retrieve event log using XMODEM\n"
    "4  - Load new operational code using XMODEM\n"
    "5  - Load configuration using XMODEM\n"
    "6  - Display operational code vital product data\n"
    "7  - Update boot code\n"
    "8  - Delete operational code\n"
    "9  - Reset the system\n"
    "10 - Restore configuration to factory defaults (delete config files)\n"
    "11 - Activate Backup Image\n"
    "12 - Run Diagnostics Image\n"
    "13 - Load new Diagnostics Image using XMODEM\n";
const char* kPrompt = "[Boot Menu] ";

class MenuTest : public stktest::BoardTest {
  protected:
    // Runs the menu (no valid operational code) on the given input until the
    // input ends; returns everything printed after the first menu.
    std::string menu(const std::string& input, int startStatus = 1) {
        con().send(input);
        auto stop = tb.run([&] { wait_for_input(startStatus); });
        EXPECT_TRUE(stop);
        if (stop) {
            EXPECT_EQ(stop->kind, plat::BoardStop::Kind::EndOfInput);
        }
        std::string out = con().takeOutput();
        std::string head = std::string(kMenu) + kPrompt;
        EXPECT_EQ(out.rfind(head, 0), 0u) << out;
        return out.size() >= head.size() ? out.substr(head.size()) : out;
    }
};

TEST_F(MenuTest, EmptyZeroAndUnknownNumbersOnlyPromptAgain) {
    EXPECT_EQ(menu("\r0\r50\r14\r98\r300\r-1\r"), std::string(7, ' ').replace(0, 7, "") +
                                                      "[Boot Menu] [Boot Menu] [Boot Menu] "
                                                      "[Boot Menu] [Boot Menu] [Boot Menu] "
                                                      "[Boot Menu] ");
}

TEST_F(MenuTest, QuestionMarkAnd99ShowTheMenuAgain) {
    std::string again = std::string(kMenu) + kPrompt;
    EXPECT_EQ(menu("?\r99\r?junk\r"), again + again + again);
}

TEST_F(MenuTest, HiddenOptionsListedOnlyWhenAsked) {
    display_bootmenu(1);
    EXPECT_EQ(con().takeOutput(), std::string(kMenu) +
                                      "\n21 - create test\n22 - check opr crc\n23 - dir list\n"
                                      "24 - show DIM boot config\n\n30 - BOOT Secrets\n");
}

TEST_F(MenuTest, MenuNumbersAndBackspaceEdit) {
    auto option = [&](const std::string& line) {
        con().send(line + "\r");
        return get_menu_option();
    };
    EXPECT_EQ(option("1\b2"), 2);
    EXPECT_EQ(option("12\b"), 1);
    EXPECT_EQ(option("257"), 1);
    EXPECT_EQ(option("-1"), 255);
    EXPECT_EQ(option("?"), 99);
    EXPECT_EQ(option("\b5"), 0);    // a leading backspace is taken as a character
    EXPECT_EQ(option("\b\b5"), 5);  // ... and the next one removes it again
    EXPECT_EQ(option(""), 0);
    EXPECT_EQ(option(std::string(10 * 1024, '7')),
              int(std::atoi(std::string(79, '7').c_str()) & 0xff));
    con().send("y\bn\r");
    EXPECT_EQ(get_confirmation(), 'n');
    con().send("y\b\bn\r");
    EXPECT_EQ(get_confirmation(), '\b');
    con().send("\r");
    EXPECT_EQ(get_confirmation(), 0);
}

TEST_F(MenuTest, StrangeInputNeverBreaksTheLoop) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(char(i * 37 + 11));
    junk += std::string(10 * 1024, 'x') + "\r" + std::string(300, '\b') + "\r" +
            std::string("\0\0\0", 3) + "\r";
    for (char& c : junk)
        if (c == '\r' || c == '\n' || c == '9' || c == '?' || c == '1' || c == '2' || c == '3' ||
            c == '4' || c == '5' || c == '6' || c == '7' || c == '8')
            c = 'z';
    menu(junk + "\r");
}

TEST_F(MenuTest, OptionOneAndSixRefuseWithoutValidCode) {
    EXPECT_EQ(menu("1\r6\r"),
              "ERROR: Operational code CRC is not valid, you must load new code.\n\n[Boot Menu] "
              "\nERROR: Operational code CRC is not valid.\n[Boot Menu] ");
}

TEST_F(MenuTest, BaudRateDialogue) {
    std::string list =
        "\n\nSelect baud rate:\n1 - 1200\n2 - 2400\n3 - 4800\n4 - 9600\n5 - 19200\n6 - 38400\n"
        "7 - 57600\n8 - 115200\n0 - no change\n-> ";
    EXPECT_EQ(menu("2\r9\r0\r"), list + "\nERROR: Invalid Option:\n\n" + list +
                                     "\nBaud rate is not changed\n[Boot Menu] ");
    EXPECT_EQ(consoleBaudRate, 9600);

    const int rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int choice = 1; choice <= 8; ++choice) {
        uint64_t before = tb.clock().nowUs();
        std::string out = menu("2\r" + std::to_string(choice) + "\r");
        EXPECT_EQ(out, list + "\nSetting baud rate to " + std::to_string(rates[choice - 1]) +
                           ", you must change your terminal baud rate.\n[Boot Menu] ");
        EXPECT_EQ(consoleBaudRate, rates[choice - 1]);
        EXPECT_EQ(con().baud(), rates[choice - 1]);
        EXPECT_EQ(tb.clock().nowUs() - before, 1000000u);  // one second before the switch
    }
}

TEST_F(MenuTest, FailedBaudRateKeepsTheNewRateInTheGlobal) {
    con().failBaud = true;
    std::string out = menu("2\r8\r");
    EXPECT_NE(out.find("Setting baud rate to 115200, you must change your terminal baud rate.\n"
                       "../../../bsp/cpu/tb8541/vxworks/start/bootConfig:1452: Attempt to set "
                       "baudrate to 115200 failed\n"),
              std::string::npos);
    EXPECT_EQ(consoleBaudRate, 115200);
}

TEST_F(MenuTest, ResetAsksFirst) {
    EXPECT_EQ(menu("9\rn\r"), "\nAre you SURE you want to reset the system? (y/n):[Boot Menu] ");
    con().send("9\rY\r");
    auto stop = tb.run([] { wait_for_input(1); });
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::Reset);
}

TEST_F(MenuTest, DeleteOperationalCode) {
    tb.writeFile("image1", stktest::makeImage());
    dimInitialize();
    EXPECT_EQ(menu("8\rn\r"),
              "\nAre you SURE you want to delete operational code : image1 ? (y/n):Code not "
              "deleted.\n[Boot Menu] ");
    EXPECT_TRUE(tb.exists("image1"));
    EXPECT_EQ(menu("8\ry\r1\r"),
              "\nAre you SURE you want to delete operational code : image1 ? (y/n):Operational "
              "code deleted...\n[Boot Menu] ERROR: Operational code CRC is not valid, you must "
              "load new code.\n\n[Boot Menu] ");
    EXPECT_FALSE(tb.exists("image1"));
    // The image list still names it.
    char name[40];
    EXPECT_EQ(dimActiveImageFileNameGet(name), 0);
    EXPECT_STREQ(name, "image1");
}

TEST_F(MenuTest, AfterDeletingCodeOnlyTheBackupMakesOptionsOneAndSixWorkAgain) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("image2", stktest::makeImage());
    dimInitialize();
    // Valid code at start-up: decline the auto-boot choice, then delete.
    con().send("2\r8\ry\r1\r6\r11\r6\r");
    auto stop = tb.run([] { wait_for_input(0); });
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::EndOfInput);
    std::string out = con().takeOutput();
    const std::string refused1 =
        "ERROR: Operational code CRC is not valid, you must load new code.\n\n[Boot Menu] ";
    const std::string refused6 = "\nERROR: Operational code CRC is not valid.\n[Boot Menu] ";
    size_t at = out.find("Operational code deleted...\n[Boot Menu] " + refused1 + refused6);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NE(out.find("Backup image - image2 activated.\n[Boot Menu] "
                       "\n\n\nThe following image is in the Flash File System:\n\n"
                       "File Name......................................image2\n",
                       at),
              std::string::npos)
        << out;
    EXPECT_STREQ(activeImageFileName, "image2");
}

TEST_F(MenuTest, ChangesThatFailAreNotAnnounced) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("image2", stktest::makeImage());
    dimInitialize();
    ASSERT_EQ(plat::mkdir(kDimTempFileName), 0);  // boot.dim cannot be rewritten
    ::remove(tb.hostPath("image1").c_str());
    EXPECT_EQ(menu("11\r8\ry\r"),
              "Failed to activate Backup Image.\n[Boot Menu] \nAre you SURE you want to delete "
              "operational code : image1 ? (y/n):ERROR: Operational code could not be "
              "deleted.\n[Boot Menu] ");
    EXPECT_STREQ(activeImageFileName, "image1");
}

TEST_F(MenuTest, FactoryDefaultsDeleteOnlyConfigurationFiles) {
    for (const char* f : {"startup-config", "a.cfg", "diag_config.cfg", "x.cfgold", "readme"})
        tb.writeFile(f, "data");
    ASSERT_EQ(plat::mkdir("b.cfg"), 0);
    EXPECT_EQ(menu("10\r"), "[Boot Menu] ");
    EXPECT_FALSE(tb.exists("startup-config"));
    EXPECT_FALSE(tb.exists("a.cfg"));
    EXPECT_FALSE(tb.exists("diag_config.cfg"));
    EXPECT_FALSE(tb.exists("x.cfgold"));  // contains ".cfg"
    EXPECT_TRUE(tb.exists("readme"));
    EXPECT_TRUE(tb.exists("b.cfg"));
}

TEST_F(MenuTest, UpdateBootCodeCanBeDeclined) {
    EXPECT_EQ(menu("7\rn\r"),
              "Do you wish to update Boot Code? (y/n) \n\nUpdate aborted.\n[Boot Menu] ");
}

TEST_F(MenuTest, DirListLeavesTheVolumeRootAsWorkingDirectory) {
    tb.writeFile("image1", "x");
    std::string out = menu("23\r");
    EXPECT_EQ(out.rfind("/DskVol/files\n/DskVol\n", 0), 0u) << out;
    EXPECT_NE(out.find("image1"), std::string::npos);
    char cwd[64];
    ASSERT_NE(plat::getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_STREQ(cwd, "/DskVol");
    // Later file options act on the volume root.
    EXPECT_EQ(menu("21\r").rfind("/DskVol\nAttempting to create test file...\n/DskVol\n", 0), 0u);
    EXPECT_TRUE(tb.exists("/DskVol/testfile"));
}

}  // namespace
