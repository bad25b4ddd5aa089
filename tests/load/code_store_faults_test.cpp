// The active image survives every failure of a code load: a failing write at
// each step, a full flash disk, and a power loss at each changing step
// followed by a fresh start.
#include <gtest/gtest.h>

#include <string>

#include "image/dim.h"
#include "image/stkimage.h"
#include "load/load.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"
#include "support/xmodem_sender.h"

namespace {

constexpr uint32_t kThisBoard = 0x00508541;

// Incompressible bytes, so that the image spans many blocks.
std::string noise(size_t n, uint32_t seed) { return stktest::randomBytes(n, seed); }

constexpr long kMaxSteps = 200;

std::string oldImage() {
    stktest::ImageSpec s;
    s.payload = "old firmware";
    return stktest::makeImage(s);
}
std::string newImage() {
    stktest::ImageSpec s;
    s.payload = noise(2500, 11) + "new firmware";
    s.file = "new.stk";
    return stktest::makeImage(s);
}
std::string backupImage() {
    stktest::ImageSpec s;
    s.payload = "backup firmware";
    return stktest::makeImage(s);
}

void installImages(stktest::TestBoard& tb) {
    tb.writeFile("image1", oldImage());
    tb.writeFile("image2", backupImage());
    dimInitialize();
}

std::string activeName() {
    char name[40] = {};
    return dimActiveImageFileNameGet(name) == 0 ? name : "";
}

struct Outcome {
    int result = -99;
    bool powerLoss = false;
    std::string output;
};

Outcome load(stktest::TestBoard& tb) {
    Outcome o;
    auto stop = tb.run([&] { o.result = load_operational_code(kThisBoard); });
    if (stop) {
        EXPECT_EQ(stop->kind, plat::BoardStop::Kind::PowerLoss);
        o.powerLoss = true;
    }
    o.output = tb.con().output();
    return o;
}

// After a refused or failed load: the old image is active and intact, the
// backup untouched, and no receive file is left behind.
void expectOldImageKept(stktest::TestBoard& tb, const Outcome& o, long step) {
    EXPECT_EQ(o.result, 1) << "step " << step;
    EXPECT_EQ(tb.readFile("image1"), oldImage()) << "step " << step;
    EXPECT_EQ(tb.readFile("image2"), backupImage()) << "step " << step;
    EXPECT_FALSE(tb.exists("xcode.bin")) << "step " << step;
    EXPECT_EQ(activeName(), "image1");
    EXPECT_EQ(check_oprcrc_in_flash(), 0) << "step " << step;
}

TEST(LoadCodeFaults, FailedWriteAtEveryStepKeepsTheOldImage) {
    long step = 1;
    for (; step <= kMaxSteps; ++step) {
        stktest::TestBoard tb;
        installImages(tb);
        loadtest::XmodemSender sender(tb.con(), newImage(), 128);
        tb.disk().failWriteAt(step);
        Outcome o = load(tb);
        ASSERT_FALSE(o.powerLoss);
        if (o.result == 0) {  // the fault came after the last write
            tb.disk().clearFaults();
            EXPECT_EQ(tb.readFile("image1"), sender.padded());
            EXPECT_EQ(check_oprcrc_in_flash(), 0);
            break;
        }
        EXPECT_TRUE(o.output.find("Error while receiving file with XMODEM.\n") !=
                        std::string::npos ||
                    o.output.find("ERROR: Operational code update failed.\n") != std::string::npos)
            << o.output;
        tb.disk().clearFaults();
        expectOldImageKept(tb, o, step);
    }
    EXPECT_GT(step, 10);  // every block write of the transfer was hit
    EXPECT_LE(step, kMaxSteps);
}

TEST(LoadCodeFaults, FullFlashDiskKeepsTheOldImage) {
    const std::string padded = [] {
        stktest::TestBoard tb;
        loadtest::XmodemSender s(tb.con(), newImage(), 128);
        return s.padded();
    }();
    const int64_t frees[] = {0, 1, 128, int64_t(padded.size() / 2), int64_t(padded.size() - 1)};
    for (int64_t free : frees) {
        stktest::TestBoard tb;
        installImages(tb);
        loadtest::XmodemSender sender(tb.con(), newImage(), 128);
        tb.disk().setFreeBytes(free);
        Outcome o = load(tb);
        tb.disk().clearFaults();
        expectOldImageKept(tb, o, long(free));
    }
    // Exactly enough room for the received file: the store itself needs none.
    stktest::TestBoard tb;
    installImages(tb);
    loadtest::XmodemSender sender(tb.con(), newImage(), 128);
    tb.disk().setFreeBytes(int64_t(padded.size()));
    Outcome o = load(tb);
    EXPECT_EQ(o.result, 0) << o.output;
    EXPECT_EQ(tb.readFile("image1"), padded);
}

TEST(LoadCodeFaults, PowerLossAtEveryStepLeavesOldOrNewImageActive) {
    long step = 1;
    int sawOld = 0, sawNew = 0;
    for (; step <= kMaxSteps; ++step) {
        stktest::TestBoard tb;
        installImages(tb);
        const std::string bootDim = tb.readFile("boot.dim");
        loadtest::XmodemSender sender(tb.con(), newImage(), 128);
        const std::string padded = sender.padded();
        tb.disk().powerLossAt(step);
        Outcome o = load(tb);
        tb.disk().clearFaults();
        if (!o.powerLoss) {
            EXPECT_EQ(o.result, 0);
            EXPECT_EQ(tb.readFile("image1"), padded);
            break;
        }
        // A fresh start on the same flash disk.
        tb.con().onWrite = nullptr;
        plat::resetProcessState();
        dimInitialize();
        ASSERT_EQ(activeName(), "image1") << "step " << step;
        EXPECT_EQ(check_oprcrc_in_flash(), 0) << "step " << step;
        const std::string image1 = tb.readFile("image1");
        EXPECT_TRUE(image1 == oldImage() || image1 == padded) << "step " << step;
        sawOld += image1 == oldImage();
        sawNew += image1 == padded;
        EXPECT_EQ(tb.readFile("image2"), backupImage()) << "step " << step;
        EXPECT_EQ(tb.readFile("boot.dim"), bootDim) << "step " << step;
    }
    EXPECT_LE(step, kMaxSteps);
    // Every step of the transfer and of the store was cut once.
    EXPECT_GT(step, 35);
    EXPECT_EQ(sawOld, step - 1);
    // The rename is the store's last change: every cut lands before it.
    EXPECT_EQ(sawNew, 0);
}

TEST(LoadCodeFaults, LoadAfterPowerLossClearsLeftOversAndSucceeds) {
    stktest::TestBoard tb;
    installImages(tb);
    {
        loadtest::XmodemSender sender(tb.con(), newImage(), 128);
        tb.disk().powerLossAt(8);  // in the middle of the transfer
        ASSERT_TRUE(load(tb).powerLoss);
    }
    tb.disk().clearFaults();
    plat::resetProcessState();
    dimInitialize();
    loadtest::XmodemSender sender(tb.con(), newImage(), 1024);
    tb.con().clearOutput();
    Outcome o = load(tb);
    EXPECT_EQ(o.result, 0) << o.output;
    EXPECT_EQ(tb.readFile("image1"), sender.padded());
    EXPECT_FALSE(tb.exists("xcode.bin"));
}

}  // namespace
