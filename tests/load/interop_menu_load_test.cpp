// Loads through the Boot Menu end to end: stkboot on a pseudo-terminal,
// lrzsz on the terminal side, real time. Option 4 takes a new image (made by
// the image tool) and option 1 starts it; option 3 hands out the event log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

using stktest::BootProcess;

const char kPrompt[] = "[Boot Menu] ";

class InteropMenuLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(stktest::stkbootPath().c_str(), X_OK) != 0)
            GTEST_SKIP() << "stkboot has not been built";
        if (!stktest::programsAvailable({"sx", "sb", "rx"})) GTEST_SKIP() << "lrzsz missing";
        boardDir_ = stktest::makeTempDir("stkload-");
        peerDir_ = stktest::makeTempDir("stkterm-");
    }
    void TearDown() override {
        if (!boardDir_.empty()) stktest::removeTree(boardDir_);
        if (!peerDir_.empty()) stktest::removeTree(peerDir_);
    }

    // An image of random firmware bytes for this board, loading at `address`.
    // With bootCode, the image also carries it as boot code.
    void makeImage(const std::string& name, const std::string& address,
                   const std::string& bootCode = "") {
        if (stktest::stkimagePath().empty()) GTEST_SKIP() << "the image tool has not been built";
        stktest::writeHostFile(peerDir_ + "/firmware.bin", stktest::randomBytes(40000, 77));
        std::vector<std::string> args = {stktest::stkimagePath(),
                                         "create",
                                         peerDir_ + "/firmware.bin",
                                         "-o",
                                         peerDir_ + "/" + name,
                                         "--load-address",
                                         address,
                                         "--compression",
                                         "zlib",
                                         "--version",
                                         "2.1.0.7"};
        if (!bootCode.empty()) {
            stktest::writeHostFile(peerDir_ + "/boot.bin", bootCode);
            args.insert(args.end(), {"--boot-code", peerDir_ + "/boot.bin"});
        }
        std::string out;
        ASSERT_EQ(stktest::runTool(args, &out), 0) << out;
    }

    void reachMenu(BootProcess& boot) {
        ASSERT_TRUE(boot.startPty(boardDir_)) << boot.errText();
        int which = boot.expectAny({"Select (1, 2):", kPrompt}, 20000);
        ASSERT_GE(which, 0) << boot.output();
        if (which == 0) {
            boot.send("2\r");
            ASSERT_TRUE(boot.expect(kPrompt)) << boot.unmatched();
        }
    }

    // Option 4 up to the point where the receiver waits for the sender.
    void startOption4(BootProcess& boot) {
        boot.send("4\r");
        if (!boot.expect("Ready to RECEIVE File xcode.bin", 5000))
            GTEST_SKIP() << "option 4 does not reach the transfer yet: " << boot.unmatched();
        ASSERT_TRUE(boot.expect("transfer starts.", 5000));
    }

    // An image for 0x00200000 beside the peer, and option 4 waiting for it.
    void imageReadyAtOption4(BootProcess& boot) {
        makeImage("xcode.bin", "0x00200000");
        if (HasFatalFailure() || IsSkipped()) return;
        reachMenu(boot);
        if (HasFatalFailure()) return;
        startOption4(boot);
    }

    std::string boardDir_, peerDir_;
};

TEST_F(InteropMenuLoad, Option4TakesAnImageFromSxAndOption1StartsIt) {
    BootProcess boot;
    imageReadyAtOption4(boot);
    if (HasFatalFailure() || IsSkipped()) return;

    std::string peerErr;
    EXPECT_EQ(boot.runPeer(peerDir_, {"sx", "-k", "xcode.bin"}, 60000, {}, &peerErr), 0) << peerErr;
    ASSERT_TRUE(boot.expect("The following code has been uploaded:", 20000)) << boot.unmatched();
    ASSERT_TRUE(boot.expect("Target Device..................................0x00508541"));
    ASSERT_TRUE(boot.expect(kPrompt, 20000)) << boot.unmatched();
    EXPECT_EQ(boot.output().find("Error loading code"), std::string::npos);
    // The image made by the tool is now the active image, byte for byte.
    std::string sent = stktest::readHostFile(peerDir_ + "/xcode.bin");
    std::string stored = stktest::readHostFile(boardDir_ + "/DskVol/files/image1");
    ASSERT_GE(stored.size(), sent.size());
    EXPECT_EQ(stored.substr(0, sent.size()), sent);
    EXPECT_FALSE(::access((boardDir_ + "/DskVol/files/xcode.bin").c_str(), F_OK) == 0);

    boot.send("1\r");
    EXPECT_TRUE(boot.expectErr("hand-off to entry 0x00200000", 30000))
        << boot.errText() << boot.unmatched();
    boot.waitExit(10000);
}

// An image with boot code through option 4, then option 7 writes that boot
// code into the boot flash window of the board's NOR chip and resets.
TEST_F(InteropMenuLoad, Option7AfterOption4WritesTheBootCodeIntoTheWindow) {
    std::string bootCode = stktest::randomBytes(70001, 7);
    makeImage("xcode.bin", "0x00200000", bootCode);
    if (HasFatalFailure() || IsSkipped()) return;
    BootProcess boot;
    reachMenu(boot);
    if (HasFatalFailure()) return;
    startOption4(boot);
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_EQ(boot.runPeer(peerDir_, {"sx", "-k", "xcode.bin"}, 60000), 0);
    ASSERT_TRUE(boot.expect(kPrompt, 20000)) << boot.unmatched();
    boot.send("7\r");
    ASSERT_TRUE(boot.expect("Do you wish to update Boot Code? (y/n) ", 5000)) << boot.unmatched();
    boot.send("y\r");
    ASSERT_TRUE(boot.expect("Flash update completed.", 60000)) << boot.unmatched();
    // The reset starts the board again.
    ASSERT_TRUE(boot.expect("Boot Menu Version", 20000)) << boot.unmatched();
    std::string nor = stktest::readHostFile(boardDir_ + "/norflash.bin");
    ASSERT_GE(nor.size(), 0x1F00000 + bootCode.size());
    EXPECT_TRUE(nor.substr(0x1F00000, bootCode.size()) == bootCode);
}

// sb answers the receiver's 'C' with its header, then takes the 'K' that
// follows 'C' in the boot program's receive form for a garbled answer and
// keeps repeating the header: the load must fail cleanly and leave the menu
// and the board as they were.
TEST_F(InteropMenuLoad, Option4WithSbFailsCleanlyOnTheKAfterC) {
    BootProcess boot;
    imageReadyAtOption4(boot);
    if (HasFatalFailure() || IsSkipped()) return;

    int rc = boot.runPeer(peerDir_, {"sb", "-k", "xcode.bin"}, 60000);
    ASSERT_TRUE(boot.expect(kPrompt, 30000)) << boot.unmatched();
    if (rc == 0 && boot.output().find("The following code has been uploaded:") != std::string::npos)
        return;  // a receiver that asks without 'K' gets the image through
    EXPECT_NE(boot.output().find("Error loading code..."), std::string::npos) << boot.output();
    EXPECT_FALSE(::access((boardDir_ + "/DskVol/files/xcode.bin").c_str(), F_OK) == 0);
    boot.send("?\r");
    EXPECT_TRUE(boot.expect("Options available"));
}

// sb sending a file named like a stored file: refused at its header, the load
// fails and every file on the flash disk stays byte for byte as it was.
class InteropStoredName : public InteropMenuLoad,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(InteropStoredName, Option4RefusesTheName) {
    BootProcess boot;
    reachMenu(boot);
    if (HasFatalFailure()) return;
    const std::string files = boardDir_ + "/DskVol/files";
    for (const char* f : {"image1", "image2", "boot.dim", "diag_config.cfg"})
        stktest::writeHostFile(files + "/" + f, std::string("stored ") + f);
    auto volume = [&] {
        std::map<std::string, std::string> all;
        for (auto& e : std::filesystem::directory_iterator(files))
            all[e.path().filename()] = stktest::readHostFile(e.path());
        return all;
    };
    const auto before = volume();
    stktest::writeHostFile(peerDir_ + "/" + GetParam(), stktest::randomBytes(5000, 5));
    startOption4(boot);
    boot.runPeer(peerDir_, {"sb", "-k", GetParam()}, 60000);
    ASSERT_TRUE(boot.expect("Error loading code...", 30000)) << boot.unmatched();
    EXPECT_NE(boot.output().find(std::string("File ") + GetParam() + " already exists"),
              std::string::npos);
    EXPECT_EQ(volume(), before);
}
INSTANTIATE_TEST_SUITE_P(StoredFiles, InteropStoredName,
                         ::testing::Values("image1", "image2", "boot.dim", "log2.bin",
                                           "diag_config.cfg"));

// Option 13 takes a raw diagnostics image from sx; option 12 then starts it
// at its fixed address.
TEST_F(InteropMenuLoad, Option13LoadsADiagnosticsImageAndOption12StartsIt) {
    std::string diag = stktest::randomBytes(30000, 13);
    stktest::writeHostFile(peerDir_ + "/diag.bin", diag);
    BootProcess boot;
    reachMenu(boot);
    if (HasFatalFailure()) return;
    boot.send("13\r");
    ASSERT_TRUE(boot.expect("Ready to receive the file with XMODEM/CRC....", 5000))
        << boot.unmatched();
    ASSERT_TRUE(boot.expect("transfer starts.", 5000)) << boot.unmatched();
    std::string peerErr;
    EXPECT_EQ(boot.runPeer(peerDir_, {"sx", "-k", "diag.bin"}, 60000, {}, &peerErr), 0) << peerErr;
    ASSERT_TRUE(boot.expect("XMODEM transfer complete....", 20000)) << boot.unmatched();
    ASSERT_TRUE(boot.expect(kPrompt, 20000)) << boot.unmatched();
    // XMODEM pads the last block: the stored image starts with what was sent.
    std::string stored = stktest::readHostFile(boardDir_ + "/DskVol/files/diag_image.stk");
    ASSERT_GE(stored.size(), diag.size());
    EXPECT_EQ(stored.substr(0, diag.size()), diag);

    boot.send("12\r");
    EXPECT_TRUE(boot.expectErr("hand-off to entry 0x01000000 with start type 1", 30000))
        << boot.errText() << boot.unmatched();
    boot.waitExit(10000);
}

// Option 5 receives a configuration file and leaves it as "tempcfg.bin".
TEST_F(InteropMenuLoad, Option5LeavesTheConfigurationInTempcfg) {
    std::string config = "hostname switch-1\ninterface vlan 1\n";
    stktest::writeHostFile(peerDir_ + "/startup.cfg", config);
    BootProcess boot;
    reachMenu(boot);
    if (HasFatalFailure()) return;
    boot.send("5\r");
    ASSERT_TRUE(boot.expect("transfer starts.", 5000)) << boot.unmatched();
    std::string peerErr;
    EXPECT_EQ(boot.runPeer(peerDir_, {"sx", "-k", "startup.cfg"}, 60000, {}, &peerErr), 0)
        << peerErr;
    ASSERT_TRUE(boot.expect(kPrompt, 20000)) << boot.unmatched();
    EXPECT_EQ(boot.output().find("Error loading configuration"), std::string::npos);
    std::string stored = stktest::readHostFile(boardDir_ + "/DskVol/files/tempcfg.bin");
    ASSERT_GE(stored.size(), config.size());
    EXPECT_EQ(stored.substr(0, config.size()), config);
}

TEST_F(InteropMenuLoad, Option3SendsTheEventLogNewestFirstInWholeKilobytes) {
    BootProcess boot;
    reachMenu(boot);
    if (HasFatalFailure()) return;
    boot.send("3\r");
    ASSERT_TRUE(boot.expect("Sending event log, start XMODEM receive....."));
    if (!boot.expect("Ready to SEND", 5000))
        GTEST_SKIP() << "option 3 does not reach the transfer yet: " << boot.unmatched();
    ASSERT_TRUE(boot.expect("transfer starts.", 5000));
    std::string peerErr;
    stktest::RelayOptions opt;
    opt.holdMs = 600;  // the send settle delay at 9600 bit/s is 426 ms
    EXPECT_EQ(boot.runPeer(peerDir_, {"rx", "-c", "log.txt"}, 60000, opt, &peerErr), 0) << peerErr;
    ASSERT_TRUE(boot.expect("Event log transmitted.", 20000)) << boot.unmatched();
    EXPECT_FALSE(::access((boardDir_ + "/DskVol/files/asciilog.bin").c_str(), F_OK) == 0);

    std::string text = stktest::readHostFile(peerDir_ + "/log.txt");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.size() % 1024, 0u);
    size_t end = text.find_last_not_of(' ');
    ASSERT_NE(end, std::string::npos);
    std::string body = text.substr(0, end + 1);
    const std::string empty = "\r\nMessage Log Empty";
    const std::string header = std::string(50, ' ') + "Time\r\n" +
                               "         File   Line  TaskID    Code           d  h  m  s\r\n";
    if (body == empty) return;
    ASSERT_EQ(body.compare(0, header.size(), header), 0) << body;
    // Every record line, newest first: the elapsed time never grows.
    long previous = -1;
    size_t at = header.size();
    while (at < body.size()) {
        size_t eol = body.find("\r\n", at);
        std::string line = body.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        at = eol == std::string::npos ? body.size() : eol + 2;
        if (line.rfind("EVENT> ", 0) != 0 && line.rfind("ERROR> ", 0) != 0) continue;
        int d = 0, h = 0, m = 0, s = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + line.size() - 20, "%d %d %d %d", &d, &h, &m, &s), 4)
            << line;
        long t = ((long(d) * 24 + h) * 60 + m) * 60 + s;
        if (previous >= 0) {
            EXPECT_LE(t, previous) << line;
        }
        previous = t;
    }
}

}  // namespace
