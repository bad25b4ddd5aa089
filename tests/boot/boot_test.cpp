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

// The expected console texts are sections of boot_golden.txt.
::testing::AssertionResult isGolden(const std::string& out, const std::string& name) {
    return stktest::matchesGolden(out, "boot/boot_golden.txt", name);
}

enum class Fault { None, DamagedImage1, ErasedDisk, BaudFails };

struct Session {
    const char* name;
    std::vector<std::string> files;  // "imageN": a valid image; "x/": a folder
    Fault fault;
    std::string input;  // typed in advance
    Kind stop;
    std::vector<std::string> gone = {};  // every other file stays; the output is golden(name)
};

using enum Fault;
using enum Kind;
const Session kSessions[] = {
    Session("ValidImageStartsWhenTheChoiceRunsOut", {"image1"}, None, "", Handoff),
    Session("DeclinedChoiceThenOptionOneStarts", {"image1"}, None, "2\r1\r", Handoff),
    Session("DamagedImageWithoutBackupEntersTheMenu", {"image1"}, DamagedImage1, "", EndOfInput),
    Session("DamagedImageFallsBackToAValidBackup", {"image1", "image2"}, DamagedImage1, "", Handoff,
            {"image1"}),
    Session("PendingBootCodeUpdateIsOffered", {"image1", "bootupdate.dat"}, None, "2\r",
            EndOfInput),
    Session("MissingDiagnosticsFallThroughToTheSystemImage", {"image1", "diag_config.cfg"}, None,
            "2\r", EndOfInput),
    Session("ErasedFlashDiskIsFormattedAndEmpty", {"image1"}, ErasedDisk, "", EndOfInput,
            {"image1"}),
    Session("FailedBaudRatesAreReportedAndTheGlobalKeepsTheRate", {}, BaudFails, "2\r5\r",
            EndOfInput),
    Session("EmptyZeroAndUnknownNumbersOnlyPromptAgain", {}, None, "\r0\r50\r14\r98\r300\r-1\r",
            EndOfInput),
    Session("QuestionMarkAnd99ShowTheMenuAgain", {}, None, "?\r99\r?junk\r", EndOfInput),
    Session("OptionsOneAndSixNeedValidCode", {}, None, "1\r6\r", EndOfInput),
    Session("BaudRateDialogue", {}, None, "2\r9\r0\r2\r8\r", EndOfInput),
    Session("ResetAsksFirst", {}, None, "9\rn\r9\rY\r", Reset),
    Session("UpdateBootCodeCanBeDeclined", {}, None, "7\rn\r", EndOfInput),
    Session("FactoryDefaultsDeleteOnlyConfigurationFiles",
            {"startup-config", "a.cfg", "x.cfgold", "readme", "b.cfg/"}, None, "10\r", EndOfInput,
            {"startup-config", "a.cfg", "x.cfgold"}),
    Session("DeletedCodeIsRefusedUntilTheBackupIsActivated", {"image1", "image2"}, None,
            "2\r8\rn\r8\ry\r1\r6\r11\r6\r", EndOfInput, {"image1"}),
    Session("DirListLeavesTheVolumeRootAsWorkingDirectory", {"readme"}, None, "23\r21\r",
            EndOfInput),
};

class BootSession : public ::testing::TestWithParam<Session> {};

TEST_P(BootSession, Transcript) {
    const Session& c = GetParam();
    stktest::TestBoard tb;
    for (const std::string& f : c.files) {
        if (f.back() == '/') {
            ASSERT_EQ(plat::mkdir(f.c_str()), 0);
            continue;
        }
        // The selector file names the diagnostics image.
        std::string selector = f == "diag_config.cfg" ? std::string("\0\0\0\1", 4) : "";
        tb.writeFile(f, f.starts_with("image") ? stktest::makeImage() : selector);
    }
    if (c.fault == Fault::DamagedImage1) {
        dimInitialize();  // lists image1 as active, image2 (if any) as backup
        tb.writeFile("image1", tb.readFile("image1").substr(1));
    }
    // Erase the start of the flash disk, where the format lives.
    if (c.fault == Fault::ErasedDisk) {
        ASSERT_EQ(Flash_Erase(0xFE000000, 0xFE040000 - 1), 0);
    }
    tb.con().failBaud = c.fault == Fault::BaudFails;
    tb.con().send(c.input);
    plat::resetProcessState();
    plat::unmountAllVolumes();
    auto stop = tb.run([] { usrAppInit(); });
    const std::string& out = tb.con().output();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, c.stop) << out;
    // An image starts at its load address with start type 1.
    if (stop->kind == Kind::Handoff) {
        EXPECT_EQ(stop->entry, stktest::ImageSpec().loadAddress);
        EXPECT_EQ(stop->startType, 1);
    }
    EXPECT_TRUE(isGolden(out, c.name));
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
        EXPECT_TRUE(isGolden(con().output(), again ? "AutoBootPromptTwice" : "AutoBootPrompt"));
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
    EXPECT_TRUE(isGolden(con().output(), "FullMenu"));
}

TEST_F(Console, ChangesThatFailAreNotAnnounced) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("image2", stktest::makeImage());
    dimInitialize();
    // A folder where the list's new copy goes: the list cannot be rewritten.
    ASSERT_EQ(plat::mkdir(kDimTempFileName), 0);
    ASSERT_EQ(plat::unlink("image1"), 0);
    con().send("11\r8\ry\r");
    tb.run([] { wait_for_input(1); });
    EXPECT_TRUE(isGolden(con().output(), "ChangesThatFailAreNotAnnounced"));
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
    EXPECT_TRUE(isGolden(out, "UnwritableBoardFolderHalts"));
}

}  // namespace
