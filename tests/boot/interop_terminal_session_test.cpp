// The boot program as an operator meets it: stkboot with its console on a
// pseudo-terminal, a terminal program and lrzsz on the other end, real time.
// Each session is a script of steps, one a line in terminal_sessions.txt,
// whose head explains the steps. Every session runs on a board whose flash
// disk is a folder and once more on one with a flash volume; tests/target
// runs some of them on the board build as well.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "support/board_volume_files.h"
#include "support/pty_harness.h"
#include "support/session_scripts.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

// Seconds since 9:05:00 in the last clock line shown, once the menu follows it.
int shownSeconds(stktest::BootProcess& boot) {
    std::string seen = boot.unmatched();
    for (int i = 0; i < 500 && seen.find("Select option") == std::string::npos; ++i)
        boot.expect("\x01", 10), seen = boot.unmatched();
    int minute = -1, second = -1;
    size_t at = seen.find("Hour 9 Min ");
    if (at == std::string::npos ||
        std::sscanf(seen.c_str() + at, "Hour 9 Min %d, Sec %d", &minute, &second) != 2)
        return -1;
    return (minute - 5) * 60 + second;
}

// Whether the line's speed becomes `want` within three seconds.
bool lineSpeedBecomes(int fd, speed_t want) {
    struct termios t {};
    for (int i = 0; i < 300; ++i, ::usleep(10000))
        if (::tcgetattr(fd, &t) == 0 && ::cfgetospeed(&t) == want) return true;
    return false;
}

// A session's name, and whether its board keeps a flash volume.
using Run = std::tuple<std::string, bool>;

class TerminalSession : public ::testing::TestWithParam<Run> {
  protected:
    ~TerminalSession() override {
        stktest::removeTree(boardDir_);
        stktest::removeTree(peerDir_);
    }
    void image(const std::string& out, const char* address, const std::string& extra = "") {
        std::string cmd = stktest::stkimagePath() + " create " + peerDir_ + "/firmware.bin -o " +
                          out + " --load-address " + address +
                          " --compression zlib --version 2.1.0.7" + extra;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    // Runs an lrzsz program on the line in the peer folder; it must succeed when `ok`.
    void runPeer(stktest::BootProcess& boot, const std::string& command, bool ok) {
        stktest::RelayOptions opt;
        opt.holdMs = 600;  // past the send settle delay at 9600 bit/s (426 ms)
        std::istringstream words(command);
        std::vector<std::string> argv{std::istream_iterator<std::string>(words), {}};
        stktest::LinePeer peer;
        ASSERT_TRUE(peer.startProgram(boot.slaveFd(), peerDir_, argv, opt));
        int rc = peer.wait(60000);
        boot.addOutput(peer.lineTranscript());
        if (ok && rc != 0) ADD_FAILURE() << command << " ended with " << rc;
    }
    // "file[@offset]=peerfile": the board folder's file (DskVol/...: the
    // flash disk's) holds the peer's file.
    void expectHolds(const std::string& arg) {
        size_t at = std::min(arg.find('@'), arg.find('='));
        size_t offset = arg[at] == '@' ? std::stoul(arg.substr(at + 1), nullptr, 0) : 0;
        std::string path = arg.substr(0, at);
        std::string stored =
            stktest::readHostFile(path.starts_with("DskVol/") ? volume_.snapshot() + path.substr(6)
                                                              : boardDir_ + "/" + path);
        std::string sent = stktest::readHostFile(peerDir_ + "/" + arg.substr(arg.find('=') + 1));
        ASSERT_FALSE(sent.empty());
        EXPECT_TRUE(stored.substr(std::min(offset, stored.size()), sent.size()) == sent);
    }
    // The files of `&`. A flash volume cannot change under a running
    // stkboot: it stores valid images with their list and starts again.
    void storeFiles(std::unique_ptr<stktest::BootProcess>& owner) {
        if (!flash_) {
            for (const char* f : {"image1", "image2", "boot.dim", "diag_config.cfg"})
                volume_.put(std::string("files/") + f, std::string("stored ") + f);
            return;
        }
        owner.reset();
        std::string image = stktest::readHostFile(peerDir_ + "/xcode.bin");
        volume_.put("files/image1", image);
        volume_.put("files/image2", image);
        volume_.put("files/boot.dim",
                    "---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n"
                    "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n");
        volume_.put("files/diag_config.cfg", "stored diag_config.cfg");
        owner = std::make_unique<stktest::BootProcess>();
        ASSERT_TRUE(owner->start(boardDir_, options_)) << owner->errText();
        ASSERT_TRUE(owner->expect("Select (1, 2):")) << owner->unmatched();
        owner->send("2\r");
        ASSERT_TRUE(owner->expect("[Boot Menu] ")) << owner->unmatched();
    }
    std::string boardDir_ = stktest::makeTempDir("stkboard-"),
                peerDir_ = stktest::makeTempDir("stkterm-");
    bool flash_ = std::get<1>(GetParam());
    std::vector<std::string> options_ =
        flash_ ? std::vector<std::string>{"--volume", "flash"} : std::vector<std::string>{};
    stktest::BoardVolumeFiles volume_{boardDir_, flash_};
};

TEST_P(TerminalSession, RunsAsScripted) {
    const std::vector<std::string> steps =
        stktest::sessionSteps(std::get<0>(GetParam()), "host", flash_);
    stktest::writeSharedPeerFiles(peerDir_);
    stktest::writeHostFile(peerDir_ + "/diag.bin", stktest::randomBytes(30000, 13));
    image(peerDir_ + "/xcode.bin", "0x00200000");
    stktest::writeHostFile(peerDir_ + "/boot.bin", stktest::randomBytes(70001, 7));
    image(peerDir_ + "/xboot.bin", "0x00200000", " --boot-code " + peerDir_ + "/boot.bin");
    // Firmware that needs more room than the 4 KiB left below the boot program's area.
    stktest::ImageSpec text;
    text.loadAddress = 0x0EFFF000;
    for (text.payload.clear(); text.payload.size() < 6400;)
        text.payload += "Firmware0123456789ABCDEFabcdefgh";
    stktest::writeHostFile(peerDir_ + "/xtext.bin", stktest::makeImage(text));
    if (!steps.empty() && steps[0] == "V") {
        {
            stktest::BootProcess first;  // the first start formats the flash disk
            ASSERT_TRUE(first.start(boardDir_, options_)) << first.errText();
            ASSERT_TRUE(first.expect("[Boot Menu] ")) << first.unmatched();
        }
        image(peerDir_ + "/valid", "0x00010000");
        volume_.put("files/image1", stktest::readHostFile(peerDir_ + "/valid"));
    }
    for (const char* f : {"image1", "image2", "boot.dim", "log2.bin", "diag_config.cfg"})
        stktest::writeHostFile(peerDir_ + "/" + f, stktest::randomBytes(5000, 5));
    std::map<std::string, std::string> snapshot;
    auto owner = std::make_unique<stktest::BootProcess>();
    ASSERT_TRUE(owner->start(boardDir_, options_)) << owner->errText();
    auto noted = std::chrono::steady_clock::now();
    for (const std::string& step : steps) {
        const std::string arg = step.substr(1);
        SCOPED_TRACE(step.substr(0, 80));
        stktest::BootProcess& boot = *owner;
        const char k = step[0];
        if (k == '<') boot.send(arg);
        if (k == '~') std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg)));
        if (k == 'T') noted = std::chrono::steady_clock::now();
        if (k == '[') snapshot = volume_.files("files");
        if (k == '&') storeFiles(owner);
        if (k == '^') {
            owner = std::make_unique<stktest::BootProcess>();  // the old one is killed
            ASSERT_TRUE(owner->start(boardDir_, options_)) << owner->errText();
        }
        if (k == '>' && !boot.expect(arg)) FAIL() << boot.unmatched();
        if (k == '!' && !boot.expectErr(arg)) FAIL() << boot.errText();
        if (k == 'x' && stktest::contains(boot.errText(), arg)) ADD_FAILURE() << boot.errText();
        if (k == '=' && !lineSpeedBecomes(boot.slaveFd(), arg == "9600" ? B9600 : B115200))
            ADD_FAILURE() << "the line's speed stays";
        if (k == ']' && volume_.files("files") != snapshot)
            ADD_FAILURE() << "the flash disk changed";
        if (k == '-' && ::access((volume_.snapshot() + "/files/" + arg).c_str(), F_OK) == 0)
            ADD_FAILURE() << "exists";
        if (k == 't') {
            std::chrono::duration<double> passed = std::chrono::steady_clock::now() - noted;
            int shown = shownSeconds(boot);
            EXPECT_GE(shown, 2);
            EXPECT_NEAR(shown, passed.count(), 1.5);
        }
        if (k == '@' || k == '?') runPeer(boot, arg, k == '@');
        if (k == '+') expectHolds(arg);
        if (k == '%') stktest::expectEventLog(peerDir_, arg);
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, TerminalSession,
                         ::testing::Combine(::testing::ValuesIn(stktest::sessionNames("host")),
                                            ::testing::Bool()),
                         [](const auto& i) {
                             return std::get<0>(i.param) + (std::get<1>(i.param) ? "OnFlash" : "");
                         });

}  // namespace
