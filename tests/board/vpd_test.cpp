// The VPD record: its display and the dialog that replaces serial number and MAC.
#include "board/vpd.h"

#include <string>

#include "board/i2c.h"
#include "boot/vpd_generate.h"
#include "sim/at24c02.h"
#include "sim/i2c_controllers.h"
#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

const char kTexts[] = "board/vpd_dialog.txt";  // the dialogue's console texts

class Vpd : public stktest::BoardTest {
  protected:
    Vpd() { i2cInit(0x90, 0x10, 0x3f); }
    sim::At24c02& eeprom() {
        auto* controller = plat::board().map().find<sim::I2cControllerModel>();
        return *controller->bus().find<sim::At24c02>(sim::At24c02::kMainBoardAddress);
    }
};

TEST_F(Vpd, DumpWalksFromASignatureAtZeroAndEndsAtTheHardwareRevision) {
    std::array<uint8_t, 256> record{};
    const std::string fields("\xFF\x01\xE0\x01\x02Sw\x07\x01\x05\x02\x04Late", 17);
    std::copy(fields.begin(), fields.end(), record.begin());
    eeprom().setBytes(record);
    ASSERT_EQ(fellEepromDump(0, 256), 0);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "SignatureAtZero"));
}

// The board's EEPROM takes one word address byte, the QEMU board's two: the
// dump and the generation follow the board description.
class VpdAddressBytes : public Vpd, public ::testing::WithParamInterface<int> {};

TEST_P(VpdAddressBytes, DumpShowsTheFactoryRecordAndAnsweringNoTwiceRewritesIt) {
    plat::board().description.vpdEepromAddressBytes = GetParam();
    eeprom().addressBytes = GetParam();
    ASSERT_EQ(fellEepromDump(0, 256), 0);
    EXPECT_EQ(con().output(), stktest::readHostFile(STK_SOURCE_DIR "/tests/board/golden_vpd.txt"));
    con().clearOutput();
    const auto before = eeprom().bytes();
    con().send("n\rn\r");
    EXPECT_EQ(BootVPDFileGenerate(), 0);
    EXPECT_EQ(eeprom().bytes(), before);
    EXPECT_EQ(eeprom().writeCycles, 256);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "AnsweringNoTwice"));
}
INSTANTIATE_TEST_SUITE_P(Eeprom, VpdAddressBytes, ::testing::Values(1, 2));

TEST_F(Vpd, LongerSerialShiftsTheLaterFieldsAndDropsTheLastBytes) {
    auto old = eeprom().bytes();
    old[254] = 0x11;
    old[255] = 0x22;
    eeprom().setBytes(old);
    con().send("n\ry\rSXB1040231AB\r");
    EXPECT_EQ(BootVPDFileGenerate(), 0);
    const auto& now = eeprom().bytes();
    EXPECT_TRUE(std::equal(old.begin(), old.begin() + 0x34, now.begin()));
    EXPECT_EQ(now[0x34], 12);
    EXPECT_EQ(std::string(now.begin() + 0x35, now.begin() + 0x41), "SXB1040231AB");
    EXPECT_TRUE(std::equal(old.begin() + 0x3F, old.begin() + 254, now.begin() + 0x41));
}

TEST_F(Vpd, RefusedMacAndSerialAreAskedAgain) {
    con().send("y\r00062932814g\r0006293281\r000629328140\ry\rAB-12\rAB12\r");
    EXPECT_EQ(BootVPDFileGenerate(), 0);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts, "RefusedMacAndSerial"));
    uint8_t record[256];
    ASSERT_EQ(tarnEepromGet(0, record, 256), 0);
    int serial, length, mac;
    ASSERT_EQ(getCFDFieldOffset(record, &serial, &length, &mac), 0);
    EXPECT_EQ(std::string(record + serial, record + serial + length), "AB12");
    EXPECT_EQ(record[mac + 5], 0x40);
}

// The QEMU board's runner makes a new board's EEPROM with scripts/factory_vpd.py.
TEST_F(Vpd, RunnersFactoryRecordIsTheSimulatedBoards) {
    std::string file = tb.dir() + "/factory.bin";
    ASSERT_EQ(stktest::runTool({"python3", STK_SOURCE_DIR "/scripts/factory_vpd.py", "--size",
                                "512", "-o", file}),
              0);
    std::string bytes = stktest::readHostFile(file);
    ASSERT_EQ(bytes.size(), 512u);
    const auto record = sim::factoryVpdRecord();
    EXPECT_EQ(bytes.substr(0, 256), std::string(record.begin(), record.end()));
    EXPECT_EQ(bytes.substr(256), std::string(256, '\xff'));
}

TEST_F(Vpd, RecordWithoutSignatureIsNotTouched) {
    auto old = eeprom().bytes();
    old[8] = 0xFE;
    eeprom().setBytes(old);
    EXPECT_EQ(BootVPDFileGenerate(), -1);
    EXPECT_EQ(eeprom().writeCycles, 0);
    EXPECT_EQ(eeprom().bytes(), old);
}

}  // namespace
