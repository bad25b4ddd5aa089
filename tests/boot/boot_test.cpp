// Start-up and the Boot Menu as console sessions: disk contents and typed
// input give a stop and a transcript. The auto-boot choice and the reply
// reading as tables of their own.
#include "boot/boot.h"

#include <filesystem>
#include <string>
#include <vector>

#include "bootflash/bootflash.h"
#include "image/dim.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using Kind = plat::BoardStop::Kind;
namespace fs = std::filesystem;

const std::string kPrompt1 =
    "Select an option. If no selection in 2 seconds then\noperational code will start.\n\n"
    "1 - Start operational code.\n2 - Start Boot Menu.\nSelect (1, 2):";
const std::string kCheck = "Boot Menu Version: 12 Dec 2010\n\nCalculating CRC of active image...";
const std::string kNoBackup =
    "\n\nActive image failed crc check. Activating backup image \nNo Backup Image available.\n"
    "Failed to activate Backup Image.\n";
const std::string kMenu =
    "Options available\n1  - Start operational code\n2  - Change baud rate\n3  - Retrieve event "
    "log using XMODEM\n4  - Load new operational code using XMODEM\n5  - Load configuration using "
    "XMODEM\n6  - Display operational code vital product data\n7  - Update boot code\n8  - Delete "
    "operational code\n9  - Reset the system\n10 - Restore configuration to factory defaults "
    "(delete config files)\n11 - Activate Backup Image\n12 - Run Diagnostics Image\n13 - Load new "
    "Diagnostics Image using XMODEM\n";
const std::string kPrompt = "[Boot Menu] ", kMenuPrompt = kMenu + kPrompt;
const std::string kRefused =
    "ERROR: Operational code CRC is not valid, you must load new code.\n\n" + kPrompt +
    "\nERROR: Operational code CRC is not valid.\n" + kPrompt;
const std::string kRates =
    "\n\nSelect baud rate:\n1 - 1200\n2 - 2400\n3 - 4800\n4 - 9600\n5 - 19200\n6 - 38400\n"
    "7 - 57600\n8 - 115200\n0 - no change\n-> ";
const std::string kDelete = "\nAre you SURE you want to delete operational code : image1 ? (y/n):";
const std::string kBaudFailed = "../../../bsp/cpu/tb8541/vxworks/start/bootConfig:";

enum class Fault { None, DamagedImage1, ErasedDisk, BaudFails };

struct Session {
    const char* name;
    std::vector<std::string> files;  // "imageN": a valid image; "x/": a folder
    Fault fault;
    std::string input;  // typed in advance
    Kind stop;
    // Found in this order; the last one ends a transcript that input ended.
    std::vector<std::string> transcript;
    std::vector<std::string> gone = {};  // every other file stays
};

const Session kSessions[] = {
    Session("ValidImageStartsWhenTheChoiceRunsOut", {"image1"}, Fault::None, "", Kind::Handoff,
            {kCheck + "done...\n" + kPrompt1 + "\n"}),
    Session("DeclinedChoiceThenOptionOneStarts", {"image1"}, Fault::None, "2\r1\r", Kind::Handoff,
            {kPrompt1 + "\n" + kMenuPrompt}),
    Session("DamagedImageWithoutBackupEntersTheMenu", {"image1"}, Fault::DamagedImage1, "",
            Kind::EndOfInput, {kCheck + kNoBackup + kMenuPrompt}),
    Session("DamagedImageFallsBackToAValidBackup", {"image1", "image2"}, Fault::DamagedImage1, "",
            Kind::Handoff,
            {"Activating backup image \n\nValidating the backup image image1 failed, ret code = 3\n"
             "Backup image - image2 activated.\n" +
             kPrompt1},
            {"image1"}),
    Session("PendingBootCodeUpdateIsOffered", {"image1", "bootupdate.dat"}, Fault::None, "2\r",
            Kind::EndOfInput,
            {"then\nBoot Code Update will Start ..\n\n1 - Start Boot Code Update.\n2 - Start",
             kMenuPrompt}),
    Session("MissingDiagnosticsFallThroughToTheSystemImage", {"image1", "diag_config.cfg"},
            Fault::None, "2\r", Kind::EndOfInput,
            {"Version: 12 Dec 2010\n\nDiagnostic file diag_image.stk does not exist\n\n\nDiag "
             "image can not be found. Falling through to system image\n" +
                 kPrompt1,
             kMenuPrompt}),
    Session("ErasedFlashDiskIsFormattedAndEmpty", {"image1"}, Fault::ErasedDisk, "",
            Kind::EndOfInput,
            {std::string(25, '\n') + "usrTffsConfig returned 0xffffffff, formatting...\n",
             "\rFormatting ... 100%\nSetup ... ", "\n\nTFFS Formatted....Device details...\n",
             kCheck, kNoBackup + kMenuPrompt},
            {"image1"}),
    Session("FailedBaudRatesAreReportedAndTheGlobalKeepsTheRate", {}, Fault::BaudFails, "2\r5\r",
            Kind::EndOfInput,
            {kBaudFailed + "1245: Attempt to set baudrate to 9600 failed\n", kCheck,
             "Setting baud rate to 19200, you must change your terminal baud rate.\n" +
                 kBaudFailed + "1452: Attempt to set baudrate to 19200 failed\n" + kPrompt}),
    Session("EmptyZeroAndUnknownNumbersOnlyPromptAgain", {}, Fault::None,
            "\r0\r50\r14\r98\r300\r-1\r", Kind::EndOfInput,
            {kMenuPrompt + kPrompt + kPrompt + kPrompt + kPrompt + kPrompt + kPrompt + kPrompt}),
    Session("QuestionMarkAnd99ShowTheMenuAgain", {}, Fault::None, "?\r99\r?junk\r",
            Kind::EndOfInput, {kMenuPrompt + kMenuPrompt + kMenuPrompt + kMenuPrompt}),
    Session("OptionsOneAndSixNeedValidCode", {}, Fault::None, "1\r6\r", Kind::EndOfInput,
            {kMenuPrompt + kRefused}),
    Session(
        "BaudRateDialogue", {}, Fault::None, "2\r9\r0\r2\r8\r", Kind::EndOfInput,
        {kMenuPrompt + kRates + "\nERROR: Invalid Option:\n\n" + kRates +
         "\nBaud rate is not changed\n" + kPrompt + kRates +
         "\nSetting baud rate to 115200, you must change your terminal baud rate.\n" + kPrompt}),
    Session("ResetAsksFirst", {}, Fault::None, "9\rn\r9\rY\r", Kind::Reset,
            {kMenuPrompt + "\nAre you SURE you want to reset the system? (y/n):" + kPrompt +
             "\nAre you SURE you want to reset the system? (y/n):"}),
    Session(
        "UpdateBootCodeCanBeDeclined", {}, Fault::None, "7\rn\r", Kind::EndOfInput,
        {kMenuPrompt + "Do you wish to update Boot Code? (y/n) \n\nUpdate aborted.\n" + kPrompt}),
    Session("FactoryDefaultsDeleteOnlyConfigurationFiles",
            {"startup-config", "a.cfg", "x.cfgold", "readme", "b.cfg/"}, Fault::None, "10\r",
            Kind::EndOfInput, {kMenuPrompt + kPrompt}, {"startup-config", "a.cfg", "x.cfgold"}),
    Session("DeletedCodeIsRefusedUntilTheBackupIsActivated", {"image1", "image2"}, Fault::None,
            "2\r8\rn\r8\ry\r1\r6\r11\r6\r", Kind::EndOfInput,
            {kMenuPrompt + kDelete + "Code not deleted.\n" + kPrompt + kDelete +
                 "Operational code deleted...\n" + kPrompt + kRefused +
                 "Backup image - image2 activated.\n" + kPrompt +
                 "\n\n\nThe following image is in the Flash File System:\n\nFile "
                 "Name......................................image2\n",
             kPrompt},
            {"image1"}),
    Session("DirListLeavesTheVolumeRootAsWorkingDirectory", {"readme"}, Fault::None, "23\r21\r",
            Kind::EndOfInput,
            {kMenuPrompt + "/DskVol/files\n/DskVol\n", "readme",
             kPrompt + "/DskVol\nAttempting to create test file...\n/DskVol\n", kPrompt}),
};

void PrintTo(const Session& session, std::ostream* os) {
    *os << session.name;
}

class BootSession : public ::testing::TestWithParam<Session> {};

TEST_P(BootSession, Transcript) {
    const Session& c = GetParam();
    stktest::TestBoard tb;
    for (const std::string& f : c.files) {
        bool folder = f.back() == '/', image = f.rfind("image", 0) == 0;
        ASSERT_TRUE(!folder || plat::mkdir(f.c_str()) == 0);
        // The selector file names the diagnostics image.
        std::string selector = f == "diag_config.cfg" ? std::string("\0\0\0\1", 4) : "";
        if (!folder) tb.writeFile(f, image ? stktest::makeImage() : selector);
    }
    if (c.fault == Fault::DamagedImage1) {
        dimInitialize();  // lists image1 as active, image2 (if any) as backup
        tb.writeFile("image1", tb.readFile("image1").substr(1));
    }
    // Erase the start of the flash disk, where the format lives.
    ASSERT_TRUE(c.fault != Fault::ErasedDisk || Flash_Erase(0xFE000000, 0xFE040000 - 1) == 0);
    tb.con().failBaud = c.fault == Fault::BaudFails;
    tb.con().send(c.input);
    plat::resetProcessState();
    tb.disk().powerCycle();
    auto stop = tb.run([] { usrAppInit(); });
    const std::string& out = tb.con().output();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, c.stop) << out;
    // An image starts at its load address with start type 1.
    EXPECT_TRUE(stop->kind != Kind::Handoff ||
                (stop->entry == stktest::ImageSpec().loadAddress && stop->startType == 1));
    size_t at = 0;
    for (const std::string& line : c.transcript) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n--- not in ---\n" << out;
    }
    const std::string& last = c.transcript.back();
    EXPECT_TRUE(c.input.empty() || c.stop != Kind::EndOfInput ||
                out.compare(out.size() - std::min(out.size(), last.size()), last.size(), last) == 0)
        << out;
    EXPECT_EQ(tb.con().options() & plat::OPT_MON_TRAP, 0);
    EXPECT_EQ(tb.con().baud(), c.fault == Fault::BaudFails ? 9600 : consoleBaudRate);
    for (const std::string& f : c.files) {
        bool gone = std::find(c.gone.begin(), c.gone.end(), f) != c.gone.end();
        EXPECT_NE(tb.exists(f), gone) << f;
    }
    // Start-up leaves the system image selected.
    EXPECT_NE(tb.readFile("diag_config.cfg"), std::string("\0\0\0\1", 4));
}

INSTANTIATE_TEST_SUITE_P(Sessions, BootSession, ::testing::ValuesIn(kSessions),
                         [](const auto& info) { return std::string(info.param.name); });

using Console = stktest::BoardTest;

TEST_F(Console, AutoBootChoice) {
    const std::string lines[] = {"",       "\r",   "2\r", "1\r",
                                 "2xyz\r", "12\r", "3\r", std::string(10000, '2') + "\r"};
    const int results[] = {1, 1, 2, 1, 2, 1, 1, 2};
    for (size_t i = 0; i < std::size(lines); ++i) {
        // No answer runs out after two seconds; "3" asks again with a fresh wait.
        bool again = lines[i] == "3\r";
        con().clearOutput();
        con().sendAfter(again ? 1500000 : 0, lines[i]);
        uint64_t start = tb.clock().nowUs();
        EXPECT_EQ(BootMenuSelection(1), results[i]) << i;
        EXPECT_EQ(tb.clock().nowUs() - start, i == 0 ? 2000000u : again ? 3500000u : 0u) << i;
        EXPECT_EQ(con().output(), again ? kPrompt1 + "\n" + kPrompt1 + "\n" : kPrompt1 + "\n");
    }
}

TEST_F(Console, RepliesAreEditedAndCut) {
    // A leading backspace is taken as a character, which the next one removes.
    const std::string lines[] = {
        "1\b2", "12\b", "257", "-1", "?", "", "\b5", "\b\b5", std::string(10 * 1024, '7')};
    const int options[] = {
        2, 1, 1, 255, 99, 0, 0, 5, std::atoi(std::string(79, '7').c_str()) & 0xff};
    for (size_t i = 0; i < std::size(lines); ++i) {
        con().send(lines[i] + "\r");
        EXPECT_EQ(get_menu_option(), options[i]) << i;
    }
    con().send("y\bn\ry\b\bn\r\r");
    const int replies[] = {get_confirmation(), get_confirmation(), get_confirmation()};
    EXPECT_EQ(std::vector<int>(replies, replies + 3), (std::vector<int>{'n', '\b', 0}));
    display_bootmenu(1);
    EXPECT_EQ(con().output(), kMenu +
                                  "\n21 - create test\n22 - check opr crc\n23 - dir list\n"
                                  "24 - show DIM boot config\n\n30 - BOOT Secrets\n");
}

TEST_F(Console, ChangesThatFailAreNotAnnounced) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("image2", stktest::makeImage());
    dimInitialize();
    // A folder where the list's new copy goes: the list cannot be rewritten.
    ASSERT_TRUE(plat::mkdir(kDimTempFileName) == 0 && plat::unlink("image1") == 0);
    con().send("11\r8\ry\r");
    tb.run([] { wait_for_input(1); });
    EXPECT_EQ(con().output(), kMenuPrompt + "Failed to activate Backup Image.\n" + kPrompt +
                                  kDelete + "ERROR: Operational code could not be deleted.\n" +
                                  kPrompt);
    EXPECT_STREQ(activeImageFileName, "image1");
}

TEST(StartUp, UnwritableBoardFolderHalts) {
    stktest::TestBoard tb(false);
    // A board folder that cannot be written: a file stands where it should be.
    std::string blocked = tb.dir() + "/blocked";
    stktest::writeHostFile(blocked, "");
    plat::installBoard(
        std::make_unique<plat::Board>(std::make_unique<plat::ScriptedConsole>(tb.clock()),
                                      std::make_unique<plat::VirtualClock>(), blocked + "/board"));
    auto stop = tb.run([] { usrAppInit(); });
    ASSERT_TRUE(stop && stop->kind == Kind::Halt);
    const std::string& out = static_cast<plat::ScriptedConsole&>(plat::board().console()).output();
    size_t at = 0;
    for (const char* line :
         {"tffsDevFormat returned 0xffffffff\n",
          "usrTffsConfig returned 0xffffffff\n\n\nTFFS Formatted....Device details...\n",
          "\n\nERROR: tffsPPCInit failed.\n       Boot cannot continue.\n       Code halted. "
          "Manual reset required.\n\n"})
        EXPECT_NE(at = out.find(line, at), std::string::npos) << line << out;
}

}  // namespace
