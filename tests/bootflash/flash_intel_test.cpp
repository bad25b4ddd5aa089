// The flash driver on the Intel command set of QEMU's ppce500 flash (the
// host's model of it, sim/intel_flash.h): the probe picks the set, erase and
// programs in their command cycles, failures and a time-out reported with the
// driver's messages, and the flash disk's FAT volume on 64 KiB units.
#include <cstdio>
#include <string>

#include "bootflash/bootflash.h"
#include "bootflash/flash_dev.h"
#include "fs/flash_volume.h"
#include "sim/intel_flash.h"
#include "sim/nor_chip.h"
#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

const char kTexts[] = "bootflash/flash_dev_texts.txt";

class IntelFlashDriver : public ::testing::Test {
  protected:
    IntelFlashDriver() { powerOn(); }
    // A board whose flash is QEMU's, on the same folder.
    void powerOn() {
        tb.powerOn();
        auto& map = plat::board().map();
        map.detach(map.find<NorChip>());
        auto model =
            std::make_unique<sim::IntelFlash>(plat::board().clock(), tb.dir() + "/norflash.bin");
        chip = model.get();
        map.attachOwned(plat::kNorBase, plat::kNorSize, std::move(model), "flash");
        chip->setBusCycleNs(20000);  // few status reads per erase
    }
    std::string writes() {
        std::string s;
        char cycle[32];
        for (const auto& c : chip->trace())
            if (c.write) {
                std::snprintf(cycle, sizeof cycle, "%s%x=%x", s.empty() ? "" : " ", c.offset,
                              c.value);
                s += cycle;
            }
        chip->traceCycles(true);
        return s;
    }
    uint16_t word(uint32_t address) {
        uint16_t value = 0;
        EXPECT_TRUE(plat::busRead16(address, &value));
        return value;
    }
    plat::ScriptedConsole& con() { return tb.con(); }
    stktest::TestBoard tb{false};
    sim::IntelFlash* chip = nullptr;
};

TEST_F(IntelFlashDriver, ProbePicksTheIntelSetFromTheQuery) {
    chip->traceCycles(true);
    ASSERT_EQ(flashDevProbe(), 0);
    EXPECT_EQ(writes(), "aa=98 0=ff");  // query, then read array in the chip's own set
    EXPECT_EQ(flashDevInfo.commandSet, 1u);
    EXPECT_EQ(tarnMtdInfo.eraseBlockSize, 0x10000u);
    EXPECT_EQ(tarnMtdInfo.usableSize, 0x1E00000u);
    EXPECT_EQ(flashDevShow(), 0);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "IntelShow"));
}

TEST_F(IntelFlashDriver, EraseAndProgramsInTheirCommandCycles) {
    ASSERT_EQ(flashDevProbe(), 0);
    const uint8_t data[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    struct Case {
        uint32_t address, size;
        const char* cycles;
    } cases[] = {
        // 2 bytes below a buffer boundary: one word alone, then a short buffer.
        {0xFE1007FE, 8,
         "1007fe=50 1007fe=40 1007fe=1234 1007fe=ff 100800=50 100800=e8 100800=2 "
         "100800=5678 100802=9abc 100804=def0 100800=d0 100800=ff 100806=ff"},
        {0xFE100000, 0, "100000=ff"},
    };
    for (const auto& c : cases) {
        chip->traceCycles(true);
        EXPECT_EQ(flashDevWrite(c.address, data, c.size), 0);
        EXPECT_EQ(writes(), c.cycles);
    }
    EXPECT_EQ(word(0xFE100804), 0xDEF0);
    // A word programmed again keeps only the bits both values have.
    const uint8_t again[2] = {0x0F, 0xFF};
    ASSERT_EQ(flashDevWrite(0xFE1007FE, again, 2), 0);
    EXPECT_EQ(word(0xFE1007FE), 0x0234);
    chip->traceCycles(true);
    ASSERT_EQ(flashDevErase(0xFE100000, 0x10000), 0);  // ends on the next block's first byte
    EXPECT_EQ(writes(),
              "100000=50 100000=20 100000=d0 100000=ff 110000=50 110000=20 110000=d0 "
              "110000=ff");
    EXPECT_EQ(word(0xFE100804), 0xFFFF);
    EXPECT_EQ(chip->erases(16), 1u);
}

TEST_F(IntelFlashDriver, FailedOperationsAndATimeOutAreReported) {
    ASSERT_EQ(flashDevProbe(), 0);
    plat::FLFlash flash;
    flash.socket = &plat::tffsSocket();
    ASSERT_EQ(tarnMTDIdentify(&flash), plat::flOK);
    const uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
    chip->failNext(sim::IntelFlash::Op::Program);
    EXPECT_EQ(tarnWrite(&flash, 0x100000, data, 4, 0), plat::flWriteFault);
    EXPECT_EQ(word(0xFE100000), 0xFFFF);  // read array again, nothing programmed
    chip->failNext(sim::IntelFlash::Op::Erase);
    EXPECT_EQ(tarnErase(&flash, 5, 1), plat::flWriteFault);
    EXPECT_EQ(tarnWrite(&flash, 0x100000, data, 4, 0), plat::flOK);  // the status was cleared
    chip->stallNext(sim::IntelFlash::Op::Erase);
    EXPECT_EQ(flashDevSectorErase(7), -1);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "IntelFaults"));
}

// Query mode is left by read array alone; status answers between an erase's
// set-up and its confirm, as QEMU's device does.
TEST_F(IntelFlashDriver, ModesAsQemusDeviceAnswersThem) {
    auto& map = plat::board().map();
    uint16_t q = 0, status = 0;
    map.write16(0xFE0000AA, 0x98);
    map.write16(0xFE000000, 0xF0);
    map.read16(0xFE000020, &q);
    EXPECT_EQ(q, 'Q');
    map.write16(0xFE000000, 0xFF);
    map.write16(0xFE020000, 0x20);
    map.read16(0xFE020000, &status);
    EXPECT_EQ(status, sim::IntelFlash::kReady);
    map.write16(0xFE020000, 0xFF);
    EXPECT_EQ(word(0xFE000020), 0xFFFF);
    EXPECT_EQ(chip->erases(2), 0u);
}

// The flash disk on QEMU's flash: formatted on 64 KiB units, written, and
// found again by the next power-on.
TEST_F(IntelFlashDriver, FatVolumeOnSixtyFourKilobyteUnits) {
    const std::string image = stktest::randomBytes(300000, 24);
    for (bool first : {true, false}) {
        if (!first) powerOn();
        plat::resetProcessState();
        plat::board().useFlashDiskDriver(fs::makeFlashVolumeDriver());
        chip->setBusCycleNs(1000000);  // an erase polls about a thousand times
        Flash_Init();
        ASSERT_TRUE(!first || plat::tffsDevFormat(0, nullptr) == 0);
        ASSERT_EQ(plat::usrTffsConfig(0, 0, "/DskVol/"), 0);
        if (first) tb.writeFile("/DskVol/image1", image);
    }
    EXPECT_EQ(tarnMtdInfo.eraseBlockSize, 0x10000u);
    EXPECT_TRUE(tb.readFile("/DskVol/image1") == image);
    EXPECT_EQ(con().output(), "");  // nothing repaired
    EXPECT_EQ(stktest::readHostFile(tb.dir() + "/norflash.bin").size(), sim::IntelFlash::kSize);
}

}  // namespace
