// The flash driver against the chip model, in bus cycles.
#include "bootflash/flash_dev.h"

#include <cstdio>
#include <string>
#include <vector>

#include "bootflash/bootflash.h"
#include "sim/nor_chip.h"
#include "support/test_board.h"

namespace {

using stktest::BoardTest;
const char kTexts[] = "bootflash/flash_dev_texts.txt";  // console texts

class FlashDevTest : public BoardTest {
  protected:
    // Coarse bus cycles: few status reads per erase, the same command sequences.
    FlashDevTest() { chip.setBusCycleNs(20000); }
    NorChip& chip = *plat::board().map().find<NorChip>();
    // The write cycles traced since the last call, as "offset=value".
    std::string writes() {
        std::string s;
        char cycle[32];
        for (const auto& c : chip.trace())
            if (c.write) {
                std::snprintf(cycle, sizeof cycle, "%s%x=%x", s.empty() ? "" : " ", c.offset,
                              c.value);
                s += cycle;
            }
        chip.traceCycles(true);
        return s;
    }
};

TEST_F(FlashDevTest, WritesIssueTheCommandSequencesOfTheirAlignment) {
    const uint8_t data[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    struct Case {
        uint32_t address, size;
        int rc;
        const char* cycles;
    } cases[] = {
        {0xFE100000, 0, 0, "100000=f0"},
        // 2 bytes below a buffer boundary: one word alone, then a short buffer.
        {0xFE10003E, 8, 0,
         "aaa=aa 554=55 aaa=a0 10003e=1234 10003e=f0 aaa=aa 554=55 100040=25 100040=2 "
         "100040=5678 100042=9abc 100044=def0 100040=29 100040=f0 100046=f0"},
        {0xFE200001, 2, -1, ""},
        {0xFE200000, 3, -1, ""},
        // Up to the chip's last word: read mode is restored there, not at address 0.
        {0xFFFFFFFE, 2, 0, "aaa=aa 554=55 aaa=a0 1fffffe=1234 1fffffe=f0 1fffffe=f0"},
        {0xFFFFFFFE, 4, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cycles);
        chip.traceCycles(true);
        EXPECT_EQ(flashDevWrite(c.address, data, c.size), c.rc);
        EXPECT_EQ(writes(), c.cycles);
    }
    EXPECT_TRUE(stktest::contains(
        con().output(), "flashDevWrite: address or size error, address fe200001 size 2\n"));
    uint16_t word = 0;
    ASSERT_TRUE(plat::board().map().read16(0xFE100044, &word));
    EXPECT_EQ(word, 0xDEF0);
}

TEST_F(FlashDevTest, SectorEraseSequenceAndRanges) {
    uint16_t zero = 0;
    ASSERT_EQ(flashDevWrite(0xFE040000, &zero, 2), 0);
    chip.traceCycles(true);
    ASSERT_EQ(flashDevSectorErase(2), 0);
    EXPECT_EQ(writes(), "0=f0 aaa=aa 554=55 aaa=80 aaa=aa 554=55 40000=30 40000=f0");
    uint16_t word = 0;
    plat::board().map().read16(0xFE040000, &word);
    EXPECT_EQ(word, 0xFFFF);
    // A range ending on a sector's first byte takes that sector too.
    ASSERT_EQ(flashDevErase(0xFE0A0000, 0x20000), 0);
    EXPECT_EQ(
        (std::vector<uint32_t>{chip.erases(4), chip.erases(5), chip.erases(6), chip.erases(7)}),
        (std::vector<uint32_t>{0, 1, 1, 0}));
    writes();
    con().clearOutput();
    EXPECT_EQ(flashDevSectorErase(256), -1);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "SectorOutOfRange"));
    EXPECT_EQ(writes(), "");
}

TEST_F(FlashDevTest, ProbeOnceAndAFailedQueryRefusesEverything) {
    uint64_t cycles = chip.busCycles();
    EXPECT_EQ(flashDevProbe(), 0);
    EXPECT_EQ(chip.busCycles(), cycles);
    EXPECT_EQ(flashDevInfo.deviceId, 0x227E01u);
    EXPECT_EQ(flashDevInfo.regions[0].endAddress, 0xFFFFFFFFu);
    EXPECT_EQ(tarnMtdInfo.usableSize, 0x1E00000u);

    plat::resetProcessState();
    chip.patchCfi(0x11, 0x0000);
    chip.traceCycles(true);
    EXPECT_EQ(flashDevProbe(), -1);
    EXPECT_EQ(writes(), "aa=98 0=f0");
    EXPECT_EQ(flashDevErase(0xFE000000, 0), -1);
    EXPECT_EQ(flashDevShow(), -1);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "FailedQuery"));
}

TEST_F(FlashDevTest, WriteBufferAbortEndsWithTheAbortResetAlone) {
    // An abort's status shows the complement of the last word loaded: load one with bit 7 set.
    const uint8_t primer[2] = {0x00, 0xFF};
    ASSERT_EQ(flashDevWrite(0xFE500000, primer, 2), 0);
    // A chip that claims a 128-byte buffer: the count of a full one aborts the load.
    plat::resetProcessState();
    chip.patchCfi(0x2A, 7);
    ASSERT_EQ(flashDevProbe(), 0);
    const std::string ones(128, '\xFF');
    writes();
    EXPECT_EQ(flashDevWrite(0xFE400000, ones.data(), 128), -1);
    EXPECT_TRUE(writes().ends_with(" 400000=29 aaa=aa 554=55 aaa=f0"));
    uint16_t word = 0;
    plat::board().map().read16(0xFE400000, &word);
    EXPECT_EQ(word, 0xFFFF);  // array data: read mode again
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "AbortedWrite"));
}

TEST_F(FlashDevTest, ShowAndAddressesOutsideTheChip) {
    EXPECT_EQ(flashDevShow(), 0);
    EXPECT_EQ(flashDevErase(0xFDFFFFFE, 2), -1);
    EXPECT_EQ(flashDevErase(0xFFFF0000, 0x20000), -1);  // the end wraps round to 0x10000
    int sector = -1;
    EXPECT_EQ(spfSectorNumGet(0xFFFFFFFF, &sector), 0);
    EXPECT_EQ(sector, 255);
    EXPECT_EQ(chip.erases(255), 0u);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "ShowAndAddressesOutsideTheChip"));
}

TEST_F(FlashDevTest, FlashDiskDriverReportsFaultsAndWriteProtection) {
    plat::FLFlash flash;
    flash.socket = &plat::tffsSocket();
    ASSERT_EQ(tarnMTDIdentify(&flash), plat::flOK);
    const uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
    chip.failNext(NorChip::Op::Program);
    EXPECT_EQ(tarnWrite(&flash, 0x100000, data, 4, 0), plat::flWriteFault);
    chip.stuckBits(0x100102, 2, 0x0001, true);  // a bit that stays high
    EXPECT_EQ(tarnWrite(&flash, 0x100100, data, 4, 0), plat::flWriteFault);
    chip.failNext(NorChip::Op::Erase);
    EXPECT_EQ(tarnErase(&flash, 5, 2), plat::flWriteFault);
    EXPECT_EQ(chip.erases(6), 0u);
    flash.socket->writeProtected = true;
    EXPECT_EQ(tarnWrite(&flash, 0x100200, data, 4, 0), plat::flWriteProtect);
    EXPECT_EQ(tarnErase(&flash, 5, 1), plat::flWriteProtect);
    flash.socket->writeProtected = false;
    plat::resetProcessState();
    EXPECT_EQ(tarnMTDIdentify(&flash), plat::flUnknownMedia);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "FlashDiskDriverFaults"));
}

TEST_F(FlashDevTest, LockMisuseResetsTheBoard) {
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

}  // namespace
