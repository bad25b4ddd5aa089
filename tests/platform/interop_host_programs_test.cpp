// The host programs as a user meets them with odd command lines and board
// folders: clear one-line refusals, and nothing written outside the test's own
// folder (files planted "outside" are compared before and after every case).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

namespace fs = std::filesystem;
using stktest::readHostFile;
using stktest::writeHostFile;

struct Outcome {
    int status;
    std::string out;  // standard output and standard error together
};
struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;  // a refusal also never mentions the flash disk
};

class HostPrograms : public ::testing::Test {
  protected:
    HostPrograms() : top_(stktest::makeTempDir("stkhost-")) {
        fs::create_directories(top_ + "/work");
        fs::create_directories(top_ + "/outside");
        writeHostFile(top_ + "/outside/victim", "keep me\n");
    }
    ~HostPrograms() override {
        EXPECT_EQ(readHostFile(top_ + "/outside/victim"), "keep me\n");
        EXPECT_FALSE(fs::exists("/norflash.bin"));
        EXPECT_FALSE(fs::exists("/DskVol"));
        stktest::removeTree(top_);
    }
    std::string work(const std::string& name) const { return top_ + "/work/" + name; }
    std::string victim() const { return top_ + "/outside/victim"; }

    // Runs a program in the work folder with no console input.
    Outcome run(const std::string& program, const std::vector<std::string>& args, int sec = 20) {
        std::string cmd =
            "cd '" + top_ + "/work' && timeout " + std::to_string(sec) + " '" + program + "'";
        for (const std::string& a : args) cmd += " '" + a + "'";
        cmd += " </dev/null >'" + top_ + "/out' 2>&1";
        int rc = std::system(cmd.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, readHostFile(top_ + "/out")};
    }
    void runAll(const std::string& program, const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.says);
            Outcome r = run(program, c.args);
            EXPECT_EQ(r.status, c.status) << r.out;
            EXPECT_TRUE(stktest::contains(r.out, c.says));
            if (c.status != 0) {
                EXPECT_FALSE(stktest::contains(r.out, "TFFS"));
            }
        }
    }

    std::string top_;
};

TEST_F(HostPrograms, StkbootRefusesBoardsAndConsolesItCannotUseAndKeepsToItsFolder) {
    writeHostFile(work("afile"), "text\n");
    fs::create_directories(work("b1"));
    fs::create_symlink(victim(), work("b1/norflash.bin"));
    fs::create_directories(work("b3"));
    writeHostFile(work("b3/.lock"), "4242\n");
    int held = ::open(work("b3/.lock").c_str(), O_RDWR);  // held during the runs
    ::flock(held, LOCK_EX | LOCK_NB);
    fs::create_directories(work("prep/DskVol/files"));
    writeHostFile(work("prep/DskVol/files/image1"), "placed by hand\n");
    runAll(
        stktest::stkbootPath(),
        {{{"--board", ""}, 1, "cannot use board folder \"\": an empty path names no folder"},
         {{"--board", "afile"}, 1, "cannot use board folder afile: not a folder"},
         {{"--board", "nodir/b"}, 1, "cannot use board folder nodir/b: No such file"},
         {{"--board", "/proc/x"}, 1, "cannot use board folder /proc/x: "},
         {{"--board", "b1"}, 1, "cannot use board folder b1: norflash.bin is a symbolic link"},
         {{"--board", "b2", "--console", "afile"}, 1, "cannot use console afile: not a terminal"},
         {{"--board", "b2", "--console", "nodev"}, 1, "cannot open console nodev: No such file"},
         {{"--board", "b2", "--rtc", "2031-13-01 00:00:00"}, 2, "--rtc: wants \"YYYY-MM-DD"},
         {{"--board", "b2", "--bogus"}, 2, "--bogus"},
         {{"--board", "b3"}, 1, "board folder b3 is in use (process 4242)"},
         {{"--help"}, 0, "2 when the command line is wrong"},
         {{"--version"}, 0, "stkboot "},
         {{"--board", "prep"}, 0, "prepared by hand: formatted, keeping its files"},
         {{"--board", "b"}, 0, "board folder b (new board)"}});
    ::close(held);
    EXPECT_FALSE(fs::exists(work("b2")));  // refused options leave no board behind
    EXPECT_EQ(readHostFile(work("afile")), "text\n");
    EXPECT_EQ(readHostFile(work("prep/DskVol/files/image1")), "placed by hand\n");
    // Start-up never writes through a link out of the board.
    fs::remove(work("b/DskVol/files/log2.bin"));
    fs::create_symlink(victim(), work("b/DskVol/files/log2.bin"));
    EXPECT_TRUE(stktest::contains(run(stktest::stkbootPath(), {"--board", "b"}).out,
                                  "refusing to write log2.bin: it leads outside the board folder"));
}

TEST_F(HostPrograms, PseudoTerminalWaitsForATerminalProgram) {
    // Nobody attaches: after three seconds the program is still waiting, with
    // no start-up run (an auto-boot would have timed out unseen). Its second
    // name in the board folder goes with the program.
    std::string out = run(stktest::stkbootPath(), {"--board", "p", "--console", "pty"}, 3).out;
    EXPECT_TRUE(stktest::contains(out, "waiting for a terminal on /dev/pts/"));
    EXPECT_TRUE(stktest::contains(out, " (also p/console)\n"));
    EXPECT_FALSE(fs::exists(work("p/DskVol/files/log2.bin")));
    EXPECT_FALSE(fs::is_symlink(work("p/console")));
}

TEST_F(HostPrograms, StkimageOutputsAndMessages) {
    const std::string firmware = stktest::randomBytes(3000, 7);
    writeHostFile(work("fw.bin"), firmware);
    ASSERT_EQ(run(stktest::stkimagePath(), {"create", "fw.bin", "-o", "img"}).status, 0);
    fs::permissions(work("img"), fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("img", work("link"));
    fs::create_directories(work("dir"));
    std::string img = readHostFile(work("img"));
    writeHostFile(work("cut"), img.substr(0, 2000));
    writeHostFile(work("text"), std::string(3000, 'z'));
    std::string flipped = img;
    flipped.back() ^= 1;
    writeHostFile(work("flipped"), flipped);
    char stored[8];
    std::snprintf(stored, sizeof stored, "0x%02x%02x", uint8_t(img[0]), uint8_t(img[1]));
    runAll(
        stktest::stkimagePath(),
        {{{"create", "fw.bin", "-o", "fw.bin"}, 1, "cannot write fw.bin: it is the input file"},
         {{"create", "fw.bin", "-o", "/dev/null"}, 1, "cannot write /dev/null: not a regular file"},
         {{"create", "fw.bin", "-o", "dir"}, 1, "cannot write dir: it is a folder"},
         {{"create", "fw.bin", "-o", ""}, 1, "cannot write \"\": an empty path names no file"},
         {{"create", "fw.bin", "-o", "nodir/x"}, 1, "cannot write nodir/x: No such file"},
         {{"create", "fw.bin", "-o", "link", "--version", "1.2.3.4"}, 0, "link: "},
         {{"frob"}, 2, "unknown subcommand 'frob'"},
         {{"--bogus"}, 2, "unknown option '--bogus'"},
         {{"create", "fw.bin"}, 2, "--output is required"},
         {{"create", "fw.bin", "-o", "x", "--level", "10"}, 2, "Value 10 not in range 0 to 9"},
         {{"--help"}, 0, "1 when it failed (a file that cannot be read or written, an image "},
         {{"verify", "cut"},
          1,
          "cut: truncated: its header's size field says " + std::to_string(img.size()) +
              " bytes, the file has 2000"},
         {{"verify", "text"},
          1,
          "text: not an image: its header's size field says 2054847098 bytes, the file has 3000"},
         {{"verify", "flipped"},
          1,
          "flipped: CRC mismatch: header says " + std::string(stored) + ", data gives 0x"},
         {{"info", "cut"}, 0, "warning: cut is truncated: 2000 of"},
         {{"verify", "none"}, 1, "cannot read image none: no such file"},
         {{"bundle", "img", "img", "-o", "bb"}, 1, "two images for target device 0x00508541: img"},
         {{"bundle", "img", "-o", "one"}, 0, "bytes, 1 image\n"},
         {{"create", "fw.bin", "-o", "esc", "--file-text", "a\x1b[2Jb"}, 0, "esc: "},
         {{"info", "esc"}, 0, "File - a\\x1b[2Jb\n"},
         {{"--version"}, 0, "stkimage "}});
    EXPECT_EQ(readHostFile(work("fw.bin")), firmware);
    EXPECT_TRUE(fs::is_symlink(work("link")));
    EXPECT_NE(readHostFile(work("img")), img);
    EXPECT_EQ(fs::status(work("img")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
