// The boot program as an operator meets it: stkboot with its console on a
// pseudo-terminal, a terminal program and lrzsz on the other end, real time.
// Each session is a script of steps, one a line in terminal_sessions.txt:
//   "<bytes"  type on the terminal          ">text"  wait for text on the console
//   "!text"   wait for text on stderr       "xtext"  text never on stderr
//   "=9600"   the line's speed              "@prog args"  run lrzsz in the peer folder
//   "?prog args"  the same, any outcome     "-file"  no such board file
//   "&"  stored files on the board          "[" / "]"  the flash disk files now / as then
//   "+file[@offset]=peerfile"  the board file holds the peer's file (at offset)
//   "%file"   the peer's file is an event log sent in whole kilobytes
//   "~ms"     the operator waits            "^"  stkboot ends and starts again on the board
//   "T" / "t" note the time / the clock shown since then is 9:05:00 plus the seconds passed
//   "V"  (first) a valid image1 on the board before the start    "#..."  a comment
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

const char kScripts[] = "boot/terminal_sessions.txt";

// The sessions are the sections of the scripts file.
std::vector<std::string> sessionNames() {
    std::vector<std::string> names;
    std::istringstream in(stktest::readHostFile(STK_SOURCE_DIR "/tests/" + std::string(kScripts)));
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("### ")) names.push_back(line.substr(4));
    return names;
}

// A step with "\r", "\n" and "\b" written out.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t k = text[i] == '\\' ? std::string("rnb").find(text[i + 1]) : std::string::npos;
        out += k == std::string::npos ? text[i] : "\r\n\b"[k];
        i += k != std::string::npos;
    }
    return out;
}

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

class TerminalSession : public ::testing::TestWithParam<std::string> {
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
    std::string boardDir_ = stktest::makeTempDir("stkboard-"),
                peerDir_ = stktest::makeTempDir("stkterm-");
};

TEST_P(TerminalSession, RunsAsScripted) {
    const std::string steps = stktest::golden(kScripts, GetParam());
    stktest::writeHostFile(peerDir_ + "/firmware.bin", stktest::randomBytes(40000, 77));
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
    if (steps.starts_with("V\n")) {
        stktest::BootProcess first;  // the first start formats the flash disk
        ASSERT_TRUE(first.start(boardDir_) && first.expect("[Boot Menu] ")) << first.errText();
        image(boardDir_ + "/DskVol/files/image1", "0x00010000");
    }
    for (const char* f : {"image1", "image2", "boot.dim", "log2.bin", "diag_config.cfg"})
        stktest::writeHostFile(peerDir_ + "/" + f, stktest::randomBytes(5000, 5));
    std::map<std::string, std::string> snapshot;
    auto owner = std::make_unique<stktest::BootProcess>();
    ASSERT_TRUE(owner->start(boardDir_)) << owner->errText();
    auto noted = std::chrono::steady_clock::now();
    std::istringstream script(steps);
    for (std::string line; std::getline(script, line);) {
        std::string step = unescape(line);
        SCOPED_TRACE(step.substr(0, 80));
        std::string arg = step.substr(1), files = boardDir_ + "/DskVol/files/";
        char k = step[0];
        stktest::BootProcess& boot = *owner;
        if (k == '<') boot.send(arg);
        if (k == '~') std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg)));
        if (k == '^') {
            owner = std::make_unique<stktest::BootProcess>();  // the old one is killed
            ASSERT_TRUE(owner->start(boardDir_)) << owner->errText();
            continue;
        }
        if (k == 'T') noted = std::chrono::steady_clock::now();
        double passed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - noted).count();
        int shown = k == 't' ? shownSeconds(boot) : 0;
        EXPECT_TRUE(k != 't' || (shown >= 2 && shown >= passed - 1.5 && shown <= passed + 1.5))
            << shown << " shown, " << passed << " passed";
        ASSERT_TRUE(k != '>' || boot.expect(arg)) << boot.unmatched();
        ASSERT_TRUE(k != '!' || boot.expectErr(arg)) << boot.errText();
        EXPECT_TRUE(k != 'x' || boot.errText().find(arg) == std::string::npos);
        speed_t want = arg == "9600" ? B9600 : B115200;
        struct termios t {};
        for (int i = 0; k == '=' && i < 300; ++i, ::usleep(10000))
            if (::tcgetattr(boot.slaveFd(), &t) == 0 && ::cfgetospeed(&t) == want) break;
        EXPECT_TRUE(k != '=' || ::cfgetospeed(&t) == want);
        if (k == '@' || k == '?') {
            stktest::RelayOptions opt;
            opt.holdMs = 600;  // past the send settle delay at 9600 bit/s (426 ms)
            std::istringstream words(arg);
            std::vector<std::string> argv{std::istream_iterator<std::string>(words), {}};
            stktest::LinePeer peer;
            bool started = peer.startProgram(boot.slaveFd(), peerDir_, argv, opt);
            EXPECT_TRUE(started && (peer.wait(60000) == 0 || k == '?'));
            boot.addOutput(peer.lineTranscript());
        }
        for (const char* f : {"image1", "image2", "boot.dim", "diag_config.cfg"})
            if (k == '&') stktest::writeHostFile(files + f, std::string("stored ") + f);
        std::map<std::string, std::string> volume;
        if (k == '[' || k == ']')
            for (auto& e : std::filesystem::directory_iterator(files))
                volume[e.path().filename()] = stktest::readHostFile(e.path());
        if (k == '[') snapshot = volume;
        EXPECT_TRUE(k != ']' || volume == snapshot);
        EXPECT_TRUE(k != '-' || ::access((files + arg).c_str(), F_OK) != 0);
        size_t off = k == '+' && arg.find('@') < arg.size()
                         ? std::stoul(arg.substr(arg.find('@') + 1), nullptr, 0)
                         : 0;
        std::string stored =
            k == '+'
                ? stktest::readHostFile(boardDir_ + "/" + arg.substr(0, arg.find_first_of("@=")))
                : "";
        std::string sent =
            k == '+' ? stktest::readHostFile(peerDir_ + "/" + arg.substr(arg.find('=') + 1)) : "";
        EXPECT_TRUE(k != '+' || (!sent.empty() &&
                                 stored.substr(std::min(off, stored.size()), sent.size()) == sent));
        std::string log = k == '%' ? stktest::readHostFile(peerDir_ + "/" + arg) : "";
        // An event log, empty or with records, in whole kilobytes.
        EXPECT_TRUE(k != '%' ||
                    (log.size() % 1024 == 0 && log.find("Log Empty") != log.find("TaskID")));
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, TerminalSession, ::testing::ValuesIn(sessionNames()),
                         [](const auto& i) { return i.param; });

}  // namespace
