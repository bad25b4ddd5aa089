// Start-up from the disk contents to the first prompt, and the auto-boot
// choice, as transcripts on the scripted console.
#include <filesystem>
#include <string>
#include <vector>

#include "boot/boot.h"
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
    "Failed to activate Backup Image.\nOptions available\n";

enum class Fault { None, DamagedImage1, ErasedDisk, UnformattableDisk, BaudFails };

struct StartCase {
    const char* name;
    std::vector<std::string> files;  // image1/image2 hold a valid image
    Fault fault;
    int menuAnswers;  // 0: none; 1: decline the choice; 2: then option 1
    Kind stop;
    std::vector<std::string> transcript;  // found in this order
    const char* gone = "";                // a file that start-up removed
};

const StartCase kStarts[] = {
    StartCase("ValidImageStartsWhenTheChoiceRunsOut", {"image1"}, Fault::None, 0, Kind::Handoff,
              {kCheck + "done...\n" + kPrompt1 + "\n"}),
    StartCase("DeclinedChoiceThenOptionOneStarts", {"image1"}, Fault::None, 2, Kind::Handoff,
              {kPrompt1, "Options available\n"}),
    StartCase("DamagedImageWithoutBackupEntersTheMenu", {"image1"}, Fault::DamagedImage1, 0,
              Kind::EndOfInput, {kCheck + kNoBackup}),
    StartCase("DamagedImageFallsBackToAValidBackup", {"image1", "image2"}, Fault::DamagedImage1, 0,
              Kind::Handoff,
              {"Activating backup image \n\nValidating the backup image image1 failed, ret code = "
               "3\nBackup image - image2 activated.\n" +
               kPrompt1},
              "image1"),
    StartCase("PendingBootCodeUpdateIsOffered", {"image1", "bootupdate.dat"}, Fault::None, 1,
              Kind::EndOfInput,
              {"then\nBoot Code Update will Start ..\n\n1 - Start Boot Code Update.\n2 - Start"}),
    StartCase("MissingDiagnosticsFallThroughToTheSystemImage", {"image1", "diag_config.cfg"},
              Fault::None, 1, Kind::EndOfInput,
              {"Version: 12 Dec 2010\n\nDiagnostic file diag_image.stk does not exist\n\n\nDiag "
               "image can not be found. Falling through to system image\n" +
               kPrompt1}),
    StartCase("ErasedFlashDiskIsFormattedAndEmpty", {"image1"}, Fault::ErasedDisk, 0,
              Kind::EndOfInput,
              {std::string(25, '\n') + "usrTffsConfig returned 0xffffffff, formatting...\n",
               "\rFormatting ... 100%\nSetup ... ", "\n\nTFFS Formatted....Device details...\n",
               kCheck, kNoBackup},
              "image1"),
    StartCase("UnformattableFlashDiskHalts", {}, Fault::UnformattableDisk, 0, Kind::Halt,
              {"tffsDevFormat returned 0xffffffff\nusrTffsConfig returned 0xffffffff\n\n\nTFFS "
               "Formatted....Device details...\n",
               "\n\nERROR: tffsPPCInit failed.\n       Boot cannot continue.\n       Code halted. "
               "Manual reset required.\n\n"}),
    StartCase("FailedBaudRateIsReportedAndStartUpGoesOn", {}, Fault::BaudFails, 0, Kind::EndOfInput,
              {"../../../bsp/cpu/tb8541/vxworks/start/bootConfig:1245: Attempt to set baudrate to "
               "9600 failed\n",
               kCheck}),
};

class StartUp : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartUp, FromDiskContentsToTheFirstPrompt) {
    const StartCase& c = GetParam();
    stktest::TestBoard tb;
    for (const std::string& f : c.files)
        tb.writeFile(f, f.rfind("image", 0) == 0 ? stktest::makeImage()
                        : f == "diag_config.cfg" ? std::string("\0\0\0\1", 4)  // diagnostics
                                                 : "");
    std::string nor = tb.dir() + "/norflash.bin";
    if (c.fault == Fault::DamagedImage1) {
        dimInitialize();  // lists image1 as active, image2 (if any) as backup
        tb.writeFile("image1", tb.readFile("image1").substr(1));
    }
    if (c.fault == Fault::ErasedDisk || c.fault == Fault::UnformattableDisk) fs::remove(nor);
    if (c.fault == Fault::UnformattableDisk) fs::create_directory(nor);
    tb.con().failBaud = c.fault == Fault::BaudFails;
    if (c.menuAnswers >= 1) tb.con().answer("Select (1, 2):", "2\r");
    if (c.menuAnswers >= 2) tb.con().answer("[Boot Menu] ", "1\r");
    plat::resetProcessState();
    tb.disk().powerCycle();
    auto stop = tb.run([] { usrAppInit(); });
    const std::string& out = tb.con().output();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, c.stop) << out;
    if (c.stop == Kind::Handoff) {
        EXPECT_EQ(stop->entry, stktest::ImageSpec().loadAddress);
        EXPECT_EQ(stop->startType, 1);
    }
    size_t at = 0;
    for (const std::string& line : c.transcript) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n--- not in ---\n" << out;
    }
    EXPECT_EQ(tb.con().options() & plat::OPT_MON_TRAP, 0);
    EXPECT_EQ(tb.con().baud(), 9600);
    EXPECT_FALSE(*c.gone && tb.exists(c.gone));
    // Start-up leaves the system image selected.
    EXPECT_NE(tb.readFile("diag_config.cfg"), std::string("\0\0\0\1", 4));
}

INSTANTIATE_TEST_SUITE_P(Cases, StartUp, ::testing::ValuesIn(kStarts),
                         [](const auto& info) { return std::string(info.param.name); });

using AutoBoot = stktest::BoardTest;

TEST_F(AutoBoot, ChoiceTranscripts) {
    struct Choice {
        uint64_t afterUs;
        std::string line;
        int result;
        uint64_t waitedUs;
    } const choices[] = {
        {0, "", 1, 2000000},
        {0, "\r", 1, 0},
        {0, "2\r", 2, 0},
        {0, "1\r", 1, 0},
        {0, "2xyz\r", 2, 0},
        {0, "12\r", 1, 0},
        {1500000, "3\r", 1, 3500000},  // anything else: asked again with a fresh wait
        {0, std::string(10000, '2') + "\r", 2, 0},
    };
    for (const Choice& c : choices) {
        con().clearOutput();
        con().sendAfter(c.afterUs, c.line);
        uint64_t start = tb.clock().nowUs();
        EXPECT_EQ(BootMenuSelection(1), c.result) << c.line;
        EXPECT_EQ(tb.clock().nowUs() - start, c.waitedUs) << c.line;
        std::string once = kPrompt1 + "\n";
        EXPECT_EQ(con().output(), c.line == "3\r" ? once + once : once);
    }
    con().clearOutput();
    BootMenuSelection(4);
    BootMenuSelection(3);
    EXPECT_EQ(con().output(),
              "Select an option. If no selection in 2 seconds then\nBoot Code Update will Start "
              "..\n\n1 - Start Boot Code Update.\n2 - Start Boot Menu.\nSelect (1, 2):\n"
              "Select an option. If no selection in 2 seconds then\ndiagnostics will start.\n\n"
              "1 - Start diagnostic code.\n2 - Start Boot Menu.\nSelect (1, 2):\n");
}

}  // namespace
