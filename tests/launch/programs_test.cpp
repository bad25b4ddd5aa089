// The built programs end to end: stkimage makes images, stkboot starts them
// on a board folder, and a firmware that is a host program really runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "board/board_devices.h"
#include "bootflash/bootflash.h"
#include "launch_support.h"
#include "support/scripted_console.h"

namespace launchtest {
namespace {

namespace fs = std::filesystem;

class ProgramsTest : public ::testing::Test {
  protected:
    ProgramsTest() : dir_(stktest::makeTempDir("stklaunch-programs-")) {}
    ~ProgramsTest() override { stktest::removeTree(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // A board folder with a formatted flash disk holding image1.
    std::string boardWithImage(const std::string& image) {
        std::string board = path("board");
        auto clock = std::make_unique<plat::VirtualClock>();
        auto con = std::make_unique<plat::ScriptedConsole>(*clock);
        plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clock), board));
        attachBoardDevices(plat::board());
        Flash_Init();
        EXPECT_EQ(plat::board().disk().format(nullptr), 0);
        plat::uninstallBoard();
        fs::create_directories(board + "/DskVol/files");
        writeFile(board + "/DskVol/files/image1", image);
        return board;
    }
    ProgramRun stkimage(std::vector<std::string> args) {
        args.insert(args.begin(), kStkimage);
        return runProgram(args, dir_);
    }

    std::string dir_;
};

const char* kFirmware =
    "#!/bin/sh\n"
    "echo \"firmware started with start type $1\"\n"
    "[ -n \"$MARKER\" ] && touch \"$MARKER\"\n"
    "exit 0\n";

TEST_F(ProgramsTest, ImageFromStkimageAutoBootsAndRunsWithStartTypeOne) {
    writeFile(path("fw.sh"), kFirmware);
    for (const char* compression : {"zlib", "lzma"}) {
        SCOPED_TRACE(compression);
        ProgramRun made = stkimage({"create", path("fw.sh"), "-o", path("image1"), "--compression",
                                    compression, "--timestamp", "Tue Mar  1 10:00:00 2011"});
        ASSERT_EQ(made.status, 0) << made.out;
        std::string board = boardWithImage(readFile(path("image1")));
        ProgramRun run = runProgram({kStkboot, "--board", board, "--run-firmware"}, dir_);
        EXPECT_EQ(run.status, 0) << run.out;
        size_t prompt = run.out.find("Select (1, 2):");
        size_t date = run.out.find("Operational Code Date: Tue Mar  1 10:00:00 2011\n");
        size_t started = run.out.find("firmware started with start type 1\n");
        ASSERT_NE(prompt, std::string::npos) << run.out;
        ASSERT_NE(date, std::string::npos) << run.out;
        ASSERT_NE(started, std::string::npos) << run.out;
        EXPECT_LT(prompt, date);
        EXPECT_LT(date, started);
        // Two seconds of auto-boot wait and a second before the jump.
        EXPECT_GE(run.seconds, 3.0);
        fs::remove_all(board);
    }
}

TEST_F(ProgramsTest, WithoutTheFlagNothingIsExecuted) {
    writeFile(path("fw.sh"), kFirmware);
    ASSERT_EQ(stkimage({"create", path("fw.sh"), "-o", path("image1")}).status, 0);
    std::string board = boardWithImage(readFile(path("image1")));
    ::setenv("MARKER", path("ran").c_str(), 1);
    ProgramRun run = runProgram({kStkboot, "--board", board}, dir_);
    ::unsetenv("MARKER");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("hand-off to entry 0x00010000 with start type 1"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("firmware started"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("ran")));
}

TEST_F(ProgramsTest, ImageThatIsNoHostProgramIsNotRun) {
    writeFile(path("fw.bin"), randomBytes(5000, 1));
    ASSERT_EQ(stkimage({"create", path("fw.bin"), "-o", path("image1")}).status, 0);
    std::string board = boardWithImage(readFile(path("image1")));
    ProgramRun run = runProgram({kStkboot, "--board", board, "--run-firmware"}, dir_);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("no program for this host"), std::string::npos) << run.out;
}

TEST_F(ProgramsTest, DemoBoardIsSeededOnceAndRunsTheDemoFirmware) {
    std::string board = path("demo");
    ProgramRun run = runProgram({kStkboot, "--board", board, "--demo"}, dir_);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Select (1, 2):"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("|||||||||||||||||||||||||||||||||||||||||||||||||||\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Start type: 1"), std::string::npos) << run.out;
    // The disk was ready at start-up: no formatting on the console.
    EXPECT_EQ(run.out.find("formatting..."), std::string::npos);

    // An image already on the board is kept.
    writeFile(path("fw.sh"), kFirmware);
    ASSERT_EQ(stkimage({"create", path("fw.sh"), "-o", board + "/DskVol/files/image1"}).status, 0);
    run = runProgram({kStkboot, "--board", board, "--demo"}, dir_);
    EXPECT_NE(run.out.find("firmware started with start type 1"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace launchtest
