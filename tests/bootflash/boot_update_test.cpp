// The boot code update end to end on the chip model: the window in
// norflash.bin, the retries, the refusals, and a power cut in the middle.
#include <random>
#include <string>

#include "boot/boot.h"
#include "bootflash/bootflash.h"
#include "image/dim.h"
#include "sim/nor_chip.h"
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using stktest::BoardTest;

constexpr uint32_t kWindowOffset = 0x1F00000;
const char kTexts[] = "bootflash/boot_update_texts.txt";  // console texts

// Boot code without an 0xFF byte, so nothing of it reads as erased flash.
std::string bootCode(size_t size, char first = 'A') {
    std::string code(size, '\0');
    for (size_t i = 0; i < size; ++i) code[i] = char(first + i % 23);
    return code;
}

// A new image header Size and file CRC (the image has no STK file header).
std::string resealed(const std::string& image, uint32_t size) {
    return stktest::patched(image, 8, size, size);
}

class BootUpdateTest : public BoardTest {
  protected:
    // Coarse bus cycles: fewer status reads, the same polling.
    BootUpdateTest() { chip().setBusCycleNs(100000); }
    static NorChip& chip() { return *plat::board().map().find<NorChip>(); }
    // The image as image1, and the marker of a pending update.
    void install(const std::string& image) {
        tb.writeFile("image1", image);
        tb.writeFile("bootupdate.dat", "");
        dimInitialize();
        con().clearOutput();
    }
    std::string window(size_t n) const {
        return stktest::readHostFile(tb.dir() + "/norflash.bin").substr(kWindowOffset, n);
    }
};

// The update erases the whole window and programs the boot code, the erased
// value after it; a failed erase or programming pass is retried, three times in all.
TEST_F(BootUpdateTest, WindowHoldsTheBootCodeAndFailedPassesAreRetried) {
    using enum NorChip::Op;
    struct Case {
        const char* name;  // of the console text
        size_t size;
        NorChip::Op op;
        int failures;
        bool stuck;
        int rc;
        uint32_t erases;  // of each window sector, so far
    } cases[] = {
        {"65536", 0x10000, Erase, 0, false, 0, 1},
        // An odd last byte is programmed with the erased value beside it.
        {"65537", 0x10001, Erase, 0, false, 0, 2},
        {"EraseFailsThrice", 0x300, Erase, 3, false, 1, 2},
        {"ProgramFailsThrice", 0x300, Program, 3, false, 1, 5},
        {"EraseFailsTwice", 0x300, Erase, 2, false, 0, 6},
        {"StuckBit", 0x300, Program, 0, true, 1, 9},  // bit 0 of the byte at 256 (0x44)
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const stktest::ImageSpec spec{.bootCode = bootCode(c.size, c.size & 1 ? 'a' : 'A')};
        install(c.size & 1 ? stktest::makeStkFile(spec, {0x00112233, 0x00508541})
                           : stktest::makeImage(spec));
        chip().failNext(c.op, c.failures);
        if (c.stuck) chip().stuckBits(kWindowOffset + 256, 2, 0x0100, true);
        EXPECT_EQ(bootromUpdateBootcode(), c.rc);
        EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, c.name));
        EXPECT_FALSE(tb.exists("bootupdate.dat"));
        if (c.rc == 0) {
            EXPECT_EQ(window(c.size + 1), spec.bootCode + '\xFF');
        }
        for (uint32_t sector : {248u, 255u}) EXPECT_EQ(chip().erases(sector), c.erases);
    }
    // The image tool hands out the same window.
    std::string out, copy = tb.dir() + "/window.bin";
    ASSERT_EQ(stktest::runTool({stktest::stkimagePath(), "bootflash", tb.dir(), "-o", copy}, &out),
              0)
        << out;
    EXPECT_TRUE(stktest::readHostFile(copy) == window(0x100000));
}

TEST_F(BootUpdateTest, RefusalsLeaveTheFlashAndTheMarkerAlone) {
    const std::string good = stktest::makeImage({.bootCode = bootCode(0x1000)});
    std::string badFileCrc = good, badBootCrc = good;
    badFileCrc[2000] ^= 1;
    badBootCrc.back() ^= 1;
    const std::string otherBoard =
        stktest::makeImage({.targetDevice = 0x00508542, .bootCode = bootCode(0x1000)});
    const char* otherBoardMessage =
        "ERROR: Operational code target 508542 does not match this device.\n";
    struct Case {
        std::string image;
        const char* message;
        bool noMemory = false;
    } cases[] = {
        {stktest::makeImage({}), " Operational code doesn't contain bootcode \n"},
        {badFileCrc, "ERROR: Operational code CRC is not valid.\n"},
        {resealed(badBootCrc, uint32_t(good.size())), "\n\nERROR!!\nInvalid CRC computed = "},
        {resealed(good, 1219), "ERROR: Code image size of 1219 bytes is invalid.\n"},
        {resealed(good, 16777217), "ERROR: Code image size of 16777217 bytes is invalid.\n"},
        {otherBoard, otherBoardMessage},
        // The smallest and the largest Size pass its check.
        {resealed(otherBoard, 1220), otherBoardMessage},
        {resealed(otherBoard, 16777216), otherBoardMessage},
        {good, "\nERROR!!\nCould not allocate temporary memory buffer for Boot Code copy.!\n",
         true},
        // The boot code component's Offset (word 80) points past the end of the file.
        {stktest::patched(good, 80, uint32_t(good.size())),
         "\n\nERROR!!\nCould not read image1 file.\n\n"},
        {stktest::makeImage({.bootCode = bootCode(0x100001)}),
         "ERROR: Boot code of 1048577 bytes does not fit"},
    };
    uint64_t cycles = chip().busCycles();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        install(c.image);
        if (c.noMemory) plat::failMallocAt(1);
        EXPECT_EQ(bootromUpdateBootcode(), 1);
        EXPECT_TRUE(stktest::contains(con().output(), c.message));
        EXPECT_TRUE(tb.exists("bootupdate.dat"));
        EXPECT_EQ(chip().busCycles(), cycles);
    }
}

TEST_F(BootUpdateTest, PowerCutMidUpdateThenTheNextStartCompletesIt) {
    stktest::ImageSpec spec{.bootCode = bootCode(0x2400)};
    install(stktest::makeImage(spec));
    uint64_t before = chip().busCycles();
    ASSERT_EQ(bootromUpdateBootcode(), 0);
    uint64_t updateCycles = chip().busCycles() - before;

    spec.bootCode = bootCode(0x2400, 'a');
    install(stktest::makeImage(spec));
    // A cycle of the erase or the programming (the read-back of 0x2400 bytes comes last).
    uint64_t cut = std::mt19937_64(13)() % (updateCycles - 0x2400) + 1;
    chip().cutPowerAfter(cut);
    auto stop = tb.run([] { bootromUpdateBootcode(); });
    ASSERT_TRUE(stop);
    ASSERT_EQ(stop->kind, plat::BoardStop::Kind::PowerLoss);
    EXPECT_TRUE(window(0x2400) != spec.bootCode);

    // Power comes back: a new board on the same folder starts up and, with no
    // key pressed, runs the pending update and resets.
    tb.powerOn();
    chip().setBusCycleNs(100000);
    stop = tb.run([] { usrAppInit(); });
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::Reset);
    EXPECT_TRUE(stktest::contains(con().output(), "1 - Start Boot Code Update.\n"));
    EXPECT_TRUE(stktest::contains(con().output(), "Flash update completed.\n"));
    EXPECT_TRUE(window(0x2400) == spec.bootCode);
    EXPECT_FALSE(tb.exists("bootupdate.dat"));
}

}  // namespace
