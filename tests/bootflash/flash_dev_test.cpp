// The flash driver in bus cycles against both chip models: the board's own
// chip (sim/nor_chip.h) and the Intel command set of QEMU's ppce500 flash
// (sim/intel_flash.h). The probe picks the set from the query; writes, erases,
// failures and a time-out go through each set's command cycles and are
// reported with the driver's messages.
#include "bootflash/flash_dev.h"

#include <cstdio>
#include <string>

#include "bootflash/bootflash.h"
#include "fs/flash_volume.h"
#include "sim/intel_flash.h"
#include "sim/nor_chip.h"
#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

const char kTexts[] = "bootflash/flash_dev_texts.txt";  // console texts

class FlashBoard : public ::testing::Test {
  protected:
    // The board's own chip, or QEMU's flash in its place on the same folder.
    void useChip(bool useIntel, bool trace = true) {
        auto& map = plat::board().map();
        amd = map.find<NorChip>();
        chip = amd;
        if (useIntel) {
            map.detach(amd);
            amd = nullptr;
            auto model = std::make_unique<sim::IntelFlash>(plat::board().clock(),
                                                           tb.dir() + "/norflash.bin");
            chip = intel = model.get();
            map.attachOwned(plat::kNorBase, plat::kNorSize, std::move(model), "flash");
        }
        chip->setBusCycleNs(20000);  // coarse: few status reads per erase
        chip->traceCycles(trace);
    }
    void failNext(bool erase) {
        if (amd) amd->failNext(erase ? NorChip::Op::Erase : NorChip::Op::Program);
        if (intel)
            intel->failNext(erase ? sim::IntelFlash::Op::Erase : sim::IntelFlash::Op::Program);
    }
    uint32_t erases(uint32_t sector) { return amd ? amd->erases(sector) : intel->erases(sector); }
    // The write cycles traced since the last call, as "offset=value".
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
    NorChip* amd = nullptr;
    sim::IntelFlash* intel = nullptr;
    sim::FlashModel* chip = nullptr;
};

struct Chip {
    const char* name;  // also of its console texts
    bool intel;
    uint32_t commandSet, sectorSize;
    const char* probe;          // the write cycles of the probe
    uint32_t straddle;          // 2 bytes below a write-buffer boundary
    const char* straddleWrite;  // 8 bytes there: one word alone, then a short buffer
    // Up to the chip's last word: read mode is restored there, not at address 0.
    const char* lastWord;
    const char* erase;  // from 0xFE100000, one sector long
};

const Chip kChips[] = {
    {"Amd", false, 2, 0x20000, "aa=98 0=f0", 0xFE10003E,
     "aaa=aa 554=55 aaa=a0 10003e=1234 10003e=f0 aaa=aa 554=55 100040=25 100040=2 "
     "100040=5678 100042=9abc 100044=def0 100040=29 100040=f0 100046=f0",
     "aaa=aa 554=55 aaa=a0 1fffffe=1234 1fffffe=f0 1fffffe=f0",
     "0=f0 aaa=aa 554=55 aaa=80 aaa=aa 554=55 100000=30 100000=f0 0=f0 aaa=aa 554=55 aaa=80 "
     "aaa=aa 554=55 120000=30 120000=f0"},
    {"Intel", true, 1, 0x10000, "aa=98 0=ff", 0xFE1007FE,
     "1007fe=50 1007fe=40 1007fe=1234 1007fe=ff 100800=50 100800=e8 100800=2 "
     "100800=5678 100802=9abc 100804=def0 100800=d0 100800=ff 100806=ff",
     "1fffffe=50 1fffffe=40 1fffffe=1234 1fffffe=ff 1fffffe=ff",
     "100000=50 100000=20 100000=d0 100000=ff 110000=50 110000=20 110000=d0 110000=ff"},
};

class FlashDriver : public FlashBoard, public ::testing::WithParamInterface<Chip> {
  protected:
    FlashDriver() { useChip(GetParam().intel); }
};

TEST_P(FlashDriver, ProbeOnceShowAndAddressesOutsideTheChip) {
    ASSERT_EQ(flashDevProbe(), 0);
    EXPECT_EQ(writes(), GetParam().probe);  // query, then read mode in the chip's own set
    EXPECT_EQ(flashDevProbe(), 0);
    EXPECT_EQ(writes(), "");
    EXPECT_EQ(flashDevInfo.commandSet, GetParam().commandSet);
    EXPECT_EQ(tarnMtdInfo.eraseBlockSize, GetParam().sectorSize);
    EXPECT_EQ(tarnMtdInfo.usableSize, 0x1E00000u);
    EXPECT_EQ(flashDevInfo.regions[0].endAddress, 0xFFFFFFFFu);
    EXPECT_EQ(flashDevShow(), 0);
    EXPECT_EQ(flashDevErase(0xFDFFFFFE, 2), -1);
    EXPECT_EQ(flashDevErase(0xFFFF0000, 0x20000), -1);  // the end wraps round to 0x10000
    EXPECT_EQ(flashDevSectorErase(0x2000000 / GetParam().sectorSize), -1);
    EXPECT_EQ(writes(), "");
    int sector = -1;
    EXPECT_EQ(spfSectorNumGet(0xFFFFFFFF, &sector), 0);
    EXPECT_EQ(sector, int(0x2000000 / GetParam().sectorSize) - 1);
    EXPECT_TRUE(
        stktest::matchesGolden(con().output(), kTexts, std::string("Show") + GetParam().name));
}

TEST_P(FlashDriver, WritesIssueTheCommandSequencesOfTheirAlignment) {
    ASSERT_EQ(flashDevProbe(), 0);
    const uint8_t data[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    struct Case {
        uint32_t address, size;
        int rc;
        std::string cycles;
    } cases[] = {
        {0xFE100000, 0, 0, GetParam().intel ? "100000=ff" : "100000=f0"},
        {GetParam().straddle, 8, 0, GetParam().straddleWrite},
        {0xFE200001, 2, -1, ""},
        {0xFE200000, 3, -1, ""},
        {0xFFFFFFFE, 2, 0, GetParam().lastWord},
        {0xFFFFFFFE, 4, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cycles);
        writes();
        EXPECT_EQ(flashDevWrite(c.address, data, c.size), c.rc);
        EXPECT_EQ(writes(), c.cycles);
    }
    EXPECT_TRUE(stktest::contains(
        con().output(), "flashDevWrite: address or size error, address fe200001 size 2\n"));
    EXPECT_EQ(word(GetParam().straddle + 6), 0xDEF0);
    if (intel) {  // a word programmed again keeps only the bits both values have
        const uint8_t again[2] = {0x0F, 0xFF};
        ASSERT_EQ(flashDevWrite(GetParam().straddle, again, 2), 0);
        EXPECT_EQ(word(GetParam().straddle), 0x0234);
    }
}

TEST_P(FlashDriver, EraseTakesTheSectorARangeEndsOn) {
    ASSERT_EQ(flashDevProbe(), 0);
    const uint8_t zero[2] = {};
    ASSERT_EQ(flashDevWrite(0xFE100000, zero, 2), 0);
    writes();
    ASSERT_EQ(flashDevErase(0xFE100000, GetParam().sectorSize), 0);
    EXPECT_EQ(writes(), GetParam().erase);
    EXPECT_EQ(word(0xFE100000), 0xFFFF);
    EXPECT_EQ(erases(0x100000 / GetParam().sectorSize + 1), 1u);
}

TEST_P(FlashDriver, FailuresATimeOutAndWriteProtectionAreReported) {
    ASSERT_EQ(flashDevProbe(), 0);
    plat::FLFlash flash;
    flash.socket = &plat::tffsSocket();
    ASSERT_EQ(tarnMTDIdentify(&flash), plat::flOK);
    const uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
    failNext(false);
    EXPECT_EQ(tarnWrite(&flash, 0x100000, data, 4, 0), plat::flWriteFault);
    EXPECT_EQ(word(0xFE100000), 0xFFFF);  // read mode again, nothing programmed
    failNext(true);
    EXPECT_EQ(tarnErase(&flash, 5, 2), plat::flWriteFault);
    EXPECT_EQ(erases(6), 0u);
    EXPECT_EQ(tarnWrite(&flash, 0x100000, data, 4, 0), plat::flOK);  // the status was cleared
    chip->stuckBits(0x100102, 2, 0x0001, true);                      // a bit that stays high
    EXPECT_EQ(tarnWrite(&flash, 0x100100, data, 4, 0), plat::flWriteFault);
    if (intel) {
        intel->stallNext(sim::IntelFlash::Op::Erase);
        EXPECT_EQ(flashDevSectorErase(7), -1);
    }
    flash.socket->writeProtected = true;
    EXPECT_EQ(tarnWrite(&flash, 0x100200, data, 4, 0), plat::flWriteProtect);
    EXPECT_EQ(tarnErase(&flash, 5, 1), plat::flWriteProtect);
    flash.socket->writeProtected = false;
    plat::resetProcessState();
    EXPECT_EQ(tarnMTDIdentify(&flash), plat::flUnknownMedia);
    EXPECT_TRUE(
        stktest::matchesGolden(con().output(), kTexts, std::string("Faults") + GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Chips, FlashDriver, ::testing::ValuesIn(kChips),
                         [](const auto& info) { return std::string(info.param.name); });

class AmdFlash : public FlashBoard {
  protected:
    AmdFlash() { useChip(false); }
};

TEST_F(AmdFlash, AFailedQueryRefusesEverything) {
    amd->patchCfi(0x11, 0x0000);
    EXPECT_EQ(flashDevProbe(), -1);
    EXPECT_EQ(writes(), "aa=98 0=f0");
    EXPECT_EQ(flashDevErase(0xFE000000, 0), -1);
    EXPECT_EQ(flashDevShow(), -1);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "FailedQuery"));
}

TEST_F(AmdFlash, WriteBufferAbortEndsWithTheAbortResetAlone) {
    // An abort's status shows the complement of the last word loaded: load one with bit 7 set.
    const uint8_t primer[2] = {0x00, 0xFF};
    ASSERT_EQ(flashDevProbe(), 0);
    ASSERT_EQ(flashDevWrite(0xFE500000, primer, 2), 0);
    // A chip that claims a 128-byte buffer: the count of a full one aborts the load.
    plat::resetProcessState();
    amd->patchCfi(0x2A, 7);
    ASSERT_EQ(flashDevProbe(), 0);
    const std::string ones(128, '\xFF');
    writes();
    EXPECT_EQ(flashDevWrite(0xFE400000, ones.data(), 128), -1);
    EXPECT_TRUE(writes().ends_with(" 400000=29 aaa=aa 554=55 aaa=f0"));
    EXPECT_EQ(word(0xFE400000), 0xFFFF);  // array data: read mode again
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "AbortedWrite"));
}

TEST_F(AmdFlash, LockMisuseResetsTheBoard) {
    void (*uses[])() = {[] { Flash_Unlock(); }, [] { Flash_Lock(), Flash_Lock(); },
                        [] {
                            Flash_Lock();
                            Flash_Unlock();
                            EXPECT_EQ(Flash_Lock_NoWait(), 0);
                            EXPECT_EQ(Flash_Lock_NoWait(), -1);
                        }};
    for (auto use : uses) {
        plat::resetProcessState();  // power-on
        ASSERT_EQ(Flash_Init(), 0);
        auto stop = tb.run(use);
        EXPECT_EQ(stop.has_value(), use != uses[2]);  // the last use is proper
    }
}

class IntelFlash : public FlashBoard {
  protected:
    IntelFlash() { useChip(true, false); }
};

// Query mode is left by read array alone; status answers between an erase's
// set-up and its confirm, as QEMU's device does.
TEST_F(IntelFlash, ModesAsQemusDeviceAnswersThem) {
    auto& map = plat::board().map();
    map.write16(0xFE0000AA, 0x98);
    map.write16(0xFE000000, 0xF0);
    EXPECT_EQ(word(0xFE000020), 'Q');
    map.write16(0xFE000000, 0xFF);
    map.write16(0xFE020000, 0x20);
    EXPECT_EQ(word(0xFE020000), sim::IntelFlash::kReady);
    map.write16(0xFE020000, 0xFF);
    EXPECT_EQ(word(0xFE000020), 0xFFFF);
    EXPECT_EQ(intel->erases(2), 0u);
}

// The flash disk on QEMU's flash: formatted on 64 KiB units, written, and
// found again by the next power-on.
TEST_F(IntelFlash, FatVolumeOnSixtyFourKilobyteUnits) {
    const std::string image = stktest::randomBytes(300000, 24);
    for (bool first : {true, false}) {
        if (!first) {
            tb.powerOn();
            useChip(true, false);
        }
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
