// The active-image selector, the diagnostics image's presence check, its load
// over XMODEM and its start at 0x01000000.
#include "launch/diag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "launch_support.h"
#include "support/xmodem_sender.h"

namespace launchtest {
namespace {

using DiagTest = stktest::BoardTest;

std::string word(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

TEST_F(DiagTest, MissingSelectorIsCreatedWithTheSystemImage) {
    EXPECT_EQ(fellActiveImageGet(), 2);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), word(2));
}

TEST_F(DiagTest, SelectorIsReadOnceAndThenServedFromTheCache) {
    tb.writeFile("diag_config.cfg", word(1));
    EXPECT_EQ(fellActiveImageGet(), 1);
    tb.writeFile("diag_config.cfg", word(2));
    EXPECT_EQ(fellActiveImageGet(), 1);
    std::filesystem::remove(tb.hostPath("diag_config.cfg"));
    EXPECT_EQ(fellActiveImageGet(), 1);
    EXPECT_FALSE(tb.exists("diag_config.cfg"));

    // The deletion takes effect at the next start.
    plat::resetProcessState();
    EXPECT_EQ(fellActiveImageGet(), 2);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), word(2));
}

TEST_F(DiagTest, OtherValuesAndShortFilesSelectTheSystemImage) {
    tb.writeFile("diag_config.cfg", word(7));
    EXPECT_EQ(fellActiveImageGet(), 2);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), word(7));

    plat::resetProcessState();
    tb.writeFile("diag_config.cfg", std::string("\0\0", 2));
    EXPECT_EQ(fellActiveImageGet(), 2);
    // Nothing was cached: the next reading sees the file again.
    tb.writeFile("diag_config.cfg", word(1));
    EXPECT_EQ(fellActiveImageGet(), 1);
}

TEST_F(DiagTest, SettingWritesOnlyAChange) {
    EXPECT_EQ(fellActiveImageSet(1), 0);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), word(1));
    EXPECT_EQ(fellActiveImageGet(), 1);

    std::filesystem::remove(tb.hostPath("diag_config.cfg"));
    EXPECT_EQ(fellActiveImageSet(1), 0);
    EXPECT_FALSE(tb.exists("diag_config.cfg"));

    EXPECT_EQ(fellActiveImageSet(2), 0);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), word(2));
}

TEST_F(DiagTest, SelectorThatCannotBeStored) {
    // A folder in the file's place: it can be neither opened nor created.
    std::filesystem::create_directory(tb.hostPath("diag_config.cfg"));
    EXPECT_EQ(fellActiveImageGet(), 2);
    EXPECT_EQ(fellActiveImageSet(1), -1);
    EXPECT_EQ(fellActiveImageGet(), 1);  // holds until the next reset
    plat::resetProcessState();
    EXPECT_EQ(fellActiveImageGet(), 2);

    // A write that fails is a failure too.
    std::filesystem::remove(tb.hostPath("diag_config.cfg"));
    tb.disk().failWriteAt(1);
    EXPECT_EQ(fellActiveImageSet(1), -1);
}

TEST_F(DiagTest, PresenceCheckNeedsOnlyTheFile) {
    EXPECT_EQ(fellDiagImageCrcCheck(), 1);
    EXPECT_EQ(con().output(), "\nDiagnostic file diag_image.stk does not exist\n");
    tb.writeFile("diag_image.stk", "");
    EXPECT_EQ(fellDiagImageCrcCheck(), 0);
}

TEST_F(DiagTest, LoadStoresTheReceivedFile) {
    std::string image = randomBytes(5000, 61);
    tb.writeFile("diag_image.stk", "old");
    tb.writeFile("xcode.bin", "left over");
    loadtest::XmodemSender sender(con(), image);
    int rc = -2;
    auto stop = tb.run([&] { rc = fellDiagImageLoad(0x00508541); });
    ASSERT_FALSE(stop.has_value()) << con().output();
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(sender.finished());
    EXPECT_EQ(tb.readFile("diag_image.stk"), sender.padded());
    EXPECT_FALSE(tb.exists("xcode.bin"));
    const std::string& out = con().output();
    EXPECT_EQ(out.rfind("Ready to receive the file with XMODEM/CRC....\n", 0), 0u);
    EXPECT_NE(out.find("\n\nXMODEM transfer complete....\n"), std::string::npos);
}

TEST_F(DiagTest, CancelledLoadKeepsTheOldImage) {
    tb.writeFile("diag_image.stk", "old image");
    loadtest::XmodemSender sender(con(), "new image");
    sender.cancelAtStart();
    int rc = -2;
    auto stop = tb.run([&] { rc = fellDiagImageLoad(0x00508541); });
    ASSERT_FALSE(stop.has_value()) << con().output();
    EXPECT_EQ(rc, 1);
    EXPECT_NE(con().output().find("Error while receiving file with XMODEM.\n"), std::string::npos);
    EXPECT_EQ(tb.readFile("diag_image.stk"), "old image");
}

// A power cut at any change of the load leaves the old image or the new one.
TEST(DiagLoadFaults, PowerLossAtEveryStepKeepsAnImage) {
    for (long step = 1; step < 100; ++step) {
        stktest::TestBoard tb;
        tb.writeFile("diag_image.stk", "old image");
        loadtest::XmodemSender sender(tb.con(), randomBytes(3000, 63), 128);
        tb.disk().powerLossAt(step);
        auto stop = tb.run([] { fellDiagImageLoad(0x00508541); });
        const std::string kept = tb.exists("diag_image.stk") ? tb.readFile("diag_image.stk") : "";
        EXPECT_TRUE(kept == "old image" || kept == sender.padded()) << "step " << step;
        if (!stop) {
            EXPECT_EQ(kept, sender.padded());
            return;
        }
    }
    ADD_FAILURE() << "the load never ended";
}

TEST_F(DiagTest, RunCopiesTheImageToItsAddressAndHandsOff) {
    std::string image = randomBytes(70000, 62);
    tb.writeFile("diag_image.stk", image);
    tb.writeFile("bootcode.bin", "left over");
    auto stop = tb.run([] { fellDiagImageRun(); });
    ASSERT_TRUE(stop.has_value());
    ASSERT_EQ(stop->kind, plat::BoardStop::Kind::Handoff);
    EXPECT_EQ(stop->entry, 0x01000000u);
    EXPECT_EQ(stop->startType, 1);
    EXPECT_EQ(stop->loadedBytes, image.size());
    const uint8_t* ram = plat::board().ram().at(0x01000000, image.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ram), image.size()), image);
    EXPECT_EQ(con().output(), "\nReading diag_image.stk into memory\n");
    EXPECT_FALSE(tb.exists("bootcode.bin"));
    EXPECT_EQ(plat::board().regs().intLockLevel, 1);
    EXPECT_EQ(plat::board().regs().cacheInvalidates, 1);
}

TEST_F(DiagTest, RunReadsAtMostSixteenMebibytes) {
    std::string image = randomBytes((16 << 20) + 4096, 63);
    tb.writeFile("diag_image.stk", image);
    auto stop = tb.run([] { fellDiagImageRun(); });
    ASSERT_TRUE(stop.has_value());
    EXPECT_EQ(stop->loadedBytes, 16u << 20);
    const uint8_t* ram = plat::board().ram().at(0x01000000, 16 << 20);
    EXPECT_TRUE(std::memcmp(ram, image.data(), 16 << 20) == 0);
}

TEST_F(DiagTest, RunWithoutImageReturns) {
    auto stop = tb.run([] { fellDiagImageRun(); });
    EXPECT_FALSE(stop.has_value());
    EXPECT_EQ(con().output(), "\nError reading diag_image.stk into memory\n");
}

}  // namespace
}  // namespace launchtest
