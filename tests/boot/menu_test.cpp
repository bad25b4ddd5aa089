// Boot Menu transcripts on the scripted console.
#include <string>

#include "boot/boot.h"
#include "image/dim.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

const std::string kMenu =
    "Options available\n1  - Start operational code\n2  - Change baud rate\n3  - Retrieve event "
    "log using XMODEM\n4  - Load new operational code using XMODEM\n5  - Load configuration using "
    "XMODEM\n6  - Display operational code vital product data\n7  - Update boot code\n8  - Delete "
    "operational code\n9  - Reset the system\n10 - Restore configuration to factory defaults "
    "(delete config files)\n11 - Activate Backup Image\n12 - Run Diagnostics Image\n13 - Load new "
    "Diagnostics Image using XMODEM\n";
const std::string kPrompt = "[Boot Menu] ";
const std::string kRefused =
    "ERROR: Operational code CRC is not valid, you must load new code.\n\n" + kPrompt +
    "\nERROR: Operational code CRC is not valid.\n" + kPrompt;  // options 1 and 6
const std::string kRates =
    "\n\nSelect baud rate:\n1 - 1200\n2 - 2400\n3 - 4800\n4 - 9600\n5 - 19200\n6 - 38400\n"
    "7 - 57600\n8 - 115200\n0 - no change\n-> ";
const std::string kDelete = "\nAre you SURE you want to delete operational code : image1 ? (y/n):";

class MenuTest : public stktest::BoardTest {
  protected:
    // Runs the menu on the given input until the input ends; returns what was
    // printed after the first menu and prompt.
    std::string menu(const std::string& input, int startStatus = 1) {
        con().send(input);
        auto stop = tb.run([&] { wait_for_input(startStatus); });
        EXPECT_TRUE(stop && stop->kind == plat::BoardStop::Kind::EndOfInput);
        std::string out = con().takeOutput();
        size_t at = out.find(kMenu + kPrompt);
        EXPECT_NE(at, std::string::npos) << out;
        return at == std::string::npos ? out : out.substr(at + kMenu.size() + kPrompt.size());
    }
};

TEST_F(MenuTest, Transcripts) {
    for (const char* f : {"startup-config", "a.cfg", "diag_config.cfg", "x.cfgold", "readme"})
        tb.writeFile(f, "data");
    ASSERT_EQ(plat::mkdir("b.cfg"), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"\r0\r50\r14\r98\r300\r-1\r",
         std::string(kPrompt) + kPrompt + kPrompt + kPrompt + kPrompt + kPrompt + kPrompt},
        {"?\r99\r?junk\r", kMenu + kPrompt + kMenu + kPrompt + kMenu + kPrompt},
        {"1\r6\r", kRefused},
        {"2\r9\r0\r", kRates + "\nERROR: Invalid Option:\n\n" + kRates +
                          "\nBaud rate is not changed\n" + kPrompt},
        {"9\rn\r", "\nAre you SURE you want to reset the system? (y/n):" + kPrompt},
        {"7\rn\r", "Do you wish to update Boot Code? (y/n) \n\nUpdate aborted.\n" + kPrompt},
        {"10\r", kPrompt},
    };
    for (const auto& [input, out] : cases) EXPECT_EQ(menu(input), out) << input;
    EXPECT_EQ(consoleBaudRate, 9600);
    // Option 10 deletes regular files whose names hold ".cfg" or "startup-config".
    for (const char* f : {"startup-config", "a.cfg", "diag_config.cfg", "x.cfgold"})
        EXPECT_FALSE(tb.exists(f)) << f;
    EXPECT_TRUE(tb.exists("readme") && tb.exists("b.cfg"));

    display_bootmenu(1);
    EXPECT_EQ(con().takeOutput(), kMenu +
                                      "\n21 - create test\n22 - check opr crc\n23 - dir list\n"
                                      "24 - show DIM boot config\n\n30 - BOOT Secrets\n");
    con().send("9\rY\r");
    auto stop = tb.run([] { wait_for_input(1); });
    EXPECT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Reset);
}

TEST_F(MenuTest, RepliesAreEditedAndCut) {
    const std::pair<std::string, int> options[] = {
        {"1\b2", 2},
        {"12\b", 1},
        {"257", 1},
        {"-1", 255},
        {"?", 99},
        {"", 0},
        {"\b5", 0},    // a leading backspace is taken as a character...
        {"\b\b5", 5},  // ...and the next one removes it again
        {std::string(10 * 1024, '7'), std::atoi(std::string(79, '7').c_str()) & 0xff},
    };
    for (const auto& [line, option] : options) {
        con().send(line + "\r");
        EXPECT_EQ(get_menu_option(), option) << line;
    }
    for (const auto& [line, reply] :
         {std::pair<std::string, int>{"y\bn", 'n'}, {"y\b\bn", '\b'}, {"", 0}}) {
        con().send(line + "\r");
        EXPECT_EQ(get_confirmation(), reply) << line;
    }
    // No byte sequence without a newline, '?' or a digit ever leaves the loop.
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += char(i * 37 + 11);
    for (char& c : junk)
        if (c == '\r' || c == '\n' || c == '?' || (c >= '1' && c <= '9')) c = 'z';
    menu(junk + "\r" + std::string(300, '\b') + "\r" + std::string("\0\0\0\r", 4));
}

TEST_F(MenuTest, BaudRates) {
    const int rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int choice = 1; choice <= 8; ++choice) {
        uint64_t before = tb.clock().nowUs();
        EXPECT_EQ(menu("2\r" + std::to_string(choice) + "\r"),
                  kRates + "\nSetting baud rate to " + std::to_string(rates[choice - 1]) +
                      ", you must change your terminal baud rate.\n" + kPrompt);
        EXPECT_EQ(consoleBaudRate, rates[choice - 1]);
        EXPECT_EQ(con().baud(), rates[choice - 1]);
        EXPECT_EQ(tb.clock().nowUs() - before, 1000000u);  // one second before the switch
    }
    con().failBaud = true;
    EXPECT_NE(menu("2\r5\r").find("baud rate.\n../../../bsp/cpu/tb8541/vxworks/start/bootConfig:"
                                  "1452: Attempt to set baudrate to 19200 failed\n"),
              std::string::npos);
    EXPECT_EQ(consoleBaudRate, 19200);  // the global keeps the new rate
}

TEST_F(MenuTest, DeletedCodeIsRefusedUntilTheBackupIsActivated) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("image2", stktest::makeImage());
    dimInitialize();
    EXPECT_EQ(menu("2\r8\rn\r8\ry\r1\r6\r", 0), kDelete + "Code not deleted.\n" + kPrompt +
                                                    kDelete + "Operational code deleted...\n" +
                                                    kPrompt + kRefused);
    EXPECT_FALSE(tb.exists("image1"));
    char name[40];
    EXPECT_EQ(dimActiveImageFileNameGet(name), 0);
    EXPECT_STREQ(name, "image1");  // the list still names it
    EXPECT_EQ(menu("11\r6\r").rfind("Backup image - image2 activated.\n" + kPrompt +
                                        "\n\n\nThe following image is in the Flash File System:\n\n"
                                        "File Name......................................image2\n",
                                    0),
              0u);
}

TEST_F(MenuTest, DirListLeavesTheVolumeRootAsWorkingDirectory) {
    tb.writeFile("image1", "x");
    std::string out = menu("23\r21\r");
    EXPECT_EQ(out.rfind("/DskVol/files\n/DskVol\n", 0), 0u) << out;
    EXPECT_NE(out.find("image1"), std::string::npos);
    EXPECT_NE(out.find(kPrompt + "/DskVol\nAttempting to create test file...\n/DskVol\n"),
              std::string::npos);
    EXPECT_TRUE(tb.exists("/DskVol/testfile"));
}

}  // namespace
