// Boot Menu option 4 end to end: a scripted XMODEM sender, the receive
// command, the checks, the display and the store over the active image, and
// the active image's survival of every refusal, failed write and power loss.
#include <gtest/gtest.h>

#include <string>

#include "boot/boot.h"
#include "image/dim.h"
#include "image/stkimage.h"
#include "load/load.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"
#include "support/xmodem_sender.h"

namespace {

using stktest::TestBoard;
constexpr uint32_t kThisBoard = 0x00508541, kOtherBoard = 0x00508548;
const char kTexts[] = "load/load_texts.txt";  // console texts

// Incompressible, so that the image spans many blocks.
stktest::ImageSpec newSpec(uint32_t target = kThisBoard) {
    return {.payload = stktest::randomBytes(3000, 7),
            .targetDevice = target,
            .file = "new.stk",
            .bootCode = std::string(200, 'b')};
}
std::string newImage(uint32_t target = kThisBoard) {
    return stktest::makeImage(newSpec(target));
}
std::string activeName() {
    char name[40] = {};
    return dimActiveImageFileNameGet(name) == 0 ? name : "";
}

// A board with an active "image1" and a backup "image2", as after start-up.
struct Loaded {
    TestBoard tb;
    std::string image1 = stktest::makeImage(), list, out;
    std::string image2 = stktest::makeImage({.payload = "backup"});
    explicit Loaded(const char* listText = nullptr) {
        tb.writeFile("image1", image1);
        tb.writeFile("image2", image2);
        if (listText) tb.writeFile("boot.dim", listText), tb.writeFile("image9", image1);
        dimInitialize();
        list = tb.readFile("boot.dim");
    }
    int load() {  // option 4; a power cut gives -1
        int rc = -1;
        tb.con().clearOutput();
        tb.run([&] { rc = load_operational_code(kThisBoard); });
        out = tb.con().output();
        return rc;
    }
    void expectUnchanged() {
        EXPECT_EQ(tb.readFile("image1"), image1);
        EXPECT_EQ(tb.readFile("image2"), image2);
        EXPECT_EQ(tb.readFile("boot.dim"), list);
        EXPECT_EQ(check_oprcrc_in_flash(), 0);
    }
};

std::string flipped(std::string image) {
    image[2000] ^= 1;
    return image;
}

enum class Peer { Blocks, Cancel, Silent, EotFirst, ExactLength };

TEST(LoadCode, RefusalsLeaveTheActiveImage) {
    // The output of each is section RefusalN of the texts.
    const struct {
        Peer peer;
        std::string file;
        int result;
        bool keepsFile = false;
        const char* list = nullptr;
    } refusals[] = {
        {Peer::Cancel, newImage(), 1},
        {Peer::Silent, "", 1},
        {Peer::EotFirst, "", 1},
        {Peer::Blocks, flipped(newImage()), 1},
        {Peer::Blocks, "0123456789", 1},  // padded to a block
        {Peer::ExactLength, "0123456789", 2},
        // A Size below the header's length, with a right file CRC.
        {Peer::Blocks, stktest::patched(newImage(), 8, 1219, 1219), 1},
        {Peer::Blocks, newImage(kOtherBoard), 1},
        // No record for this board: the header read fails; the next load deletes the file.
        {Peer::Blocks, stktest::makeStkFile(newSpec(), {kOtherBoard}), 1, true},
        // Only "image1" and "image2" are images: another active name is never replaced.
        {Peer::Blocks, newImage(), 1, false,
         "---IMAGE---\nactive\nactive\nimage9\n0\ndefault image\n"},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(&r - refusals);
        Loaded b(r.list);
        loadtest::XmodemSender sender(b.tb.con(), r.file, 128);
        if (r.peer == Peer::Cancel) sender.cancelAtStart();
        if (r.peer == Peer::ExactLength) sender.ymodemHeader("xcode.bin", long(r.file.size()));
        if (r.peer == Peer::Silent || r.peer == Peer::EotFirst) b.tb.con().onWrite = nullptr;
        if (r.peer == Peer::EotFirst) b.tb.con().answer("before transfer starts.\n\rC", "\x04");
        EXPECT_EQ(b.load(), r.result);
        EXPECT_TRUE(
            stktest::matchesGolden(b.out, kTexts, "Refusal" + std::to_string(&r - refusals)));
        EXPECT_EQ(b.tb.exists("xcode.bin"), r.keepsFile);
        b.expectUnchanged();
    }
}

// A refused load leaves the stored image as it was, and the menu knows it: the
// code is shown and started, the diagnostics image runs.
TEST(LoadCode, RefusedLoadLeavesTheStoredImageUsable) {
    for (bool diag : {false, true}) {
        SCOPED_TRACE(diag ? "diagnostics image" : "operational code");
        Loaded b;
        b.tb.writeFile("diag_image.stk", "diagnostics");
        loadtest::XmodemSender sender(b.tb.con(), flipped(newImage()), 128);
        if (diag) sender.cancelAtStart();
        b.tb.con().send(diag ? "13\r" : "4\r");
        b.tb.con().answer(diag ? "Error loading diag code...\n" : "Error loading code...\n",
                          diag ? "12\r" : "6\r1\r");
        auto stop = b.tb.run([] { wait_for_input(1); });  // the verdicts not yet valid
        const std::string& out = b.tb.con().output();
        ASSERT_TRUE(stop);
        EXPECT_EQ(stop->kind, plat::BoardStop::Kind::Handoff) << out;
        EXPECT_EQ(stop->entry, diag ? 0x01000000u : stktest::ImageSpec().loadAddress);
        EXPECT_EQ(out.find("you must load new code"), std::string::npos) << out;
        if (!diag) {
            EXPECT_TRUE(stktest::contains(out, "The following image is in the Flash"));
        }
    }
}

TEST(LoadCode, StoresOverTheActiveImageAndShowsTheHeader) {
    stktest::ImageSpec lettered = newSpec();
    lettered.rel = 'B';
    lettered.build = 0;
    const std::string files[] = {stktest::makeImage(lettered),
                                 stktest::makeStkFile(newSpec(), {kOtherBoard, kThisBoard})};
    for (int i = 0; i < 2; ++i) {  // over image1, then over image2 when it is the active one
        Loaded b;
        if (i) {
            ASSERT_EQ(dimImageActivate("image2"), 0);
        }
        dimInitialize();
        b.list = b.tb.readFile("boot.dim");
        loadtest::XmodemSender sender(b.tb.con(), files[i], i ? 128 : 1024);
        EXPECT_EQ(b.load(), 0) << b.out;
        (i ? b.image2 : b.image1) = sender.padded();
        b.expectUnchanged();
        EXPECT_FALSE(b.tb.exists("xcode.bin"));
        // After the transfer: the checks and the header shown.
        EXPECT_TRUE(stktest::matchesGolden(b.out, kTexts, i ? "ShownStkFile" : "ShownImage"));
    }

    TestBoard tb;  // no images and no list: the file becomes "image1"
    dimInitialize();
    loadtest::XmodemSender sender(tb.con(), newImage());
    tb.run([&] { EXPECT_EQ(load_operational_code(kThisBoard), 0); });
    EXPECT_TRUE(stktest::matchesGolden(tb.con().output(), kTexts, "NoListYet"));
    EXPECT_EQ(tb.readFile("image1"), sender.padded());
    EXPECT_EQ(activeName(), "image1");
    EXPECT_STREQ(activeImageFileName, "image1");  // what the launcher and option 8 use
}

// A failed write, a power cut or a full flash disk at every step of a load,
// the transfer's block writes and the store's changes alike: the old image
// stays active and intact (or, after a cut, the complete new one), and a fresh
// load then succeeds.
TEST(LoadCode, FaultAtEveryStepKeepsAValidActiveImage) {
    enum Fault { FailedWrite, PowerCut, FullDisk };
    for (Fault fault : {FailedWrite, PowerCut, FullDisk}) {
        long step = 1;
        for (; step < 200; ++step) {
            SCOPED_TRACE("fault " + std::to_string(fault) + " at " + std::to_string(step));
            Loaded b;
            loadtest::XmodemSender sender(b.tb.con(), newImage(), 128);
            if (fault == FailedWrite) b.tb.disk().failWriteAt(step);
            if (fault == PowerCut) b.tb.disk().powerLossAt(step);
            if (fault == FullDisk) b.tb.disk().setFreeBytes((step - 1) * 100);
            int rc = b.load();
            b.tb.disk().clearFaults();
            if (rc == 0) {  // the fault came after the last change
                EXPECT_EQ(b.tb.readFile("image1"), sender.padded());
                break;
            }
            if (fault == PowerCut) {  // a fresh start on the same flash disk
                plat::resetProcessState();
                dimInitialize();
            }
            EXPECT_EQ(rc, fault == PowerCut ? -1 : 1) << b.out;
            EXPECT_EQ(activeName(), "image1");
            if (fault != PowerCut) {
                EXPECT_FALSE(b.tb.exists("xcode.bin"));
            }
            b.expectUnchanged();
            loadtest::XmodemSender again(b.tb.con(), newImage());
            EXPECT_EQ(b.load(), 0);
            EXPECT_FALSE(b.tb.exists("xcode.bin"));
        }
        EXPECT_GT(step, 30) << fault;  // every block write was hit
        EXPECT_LT(step, 200) << fault;
    }
}

}  // namespace
