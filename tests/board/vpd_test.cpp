// The VPD record: its display and the dialog that replaces serial number and MAC.
#include "board/vpd.h"

#include <string>

#include "board/at24c02.h"
#include "board/i2c.h"
#include "board/i2c_controllers.h"
#include "boot/vpd_generate.h"
#include "support/test_board.h"

namespace {

class Vpd : public stktest::BoardTest {
  protected:
    Vpd() { i2cInit(0x90, 0x10, 0x3f); }
    board::At24c02& eeprom() {
        auto* controller = plat::board().map().find<board::I2cControllerModel>();
        return *controller->bus().find<board::At24c02>(board::At24c02::kMainBoardAddress);
    }
};

TEST_F(Vpd, DumpShowsTheFactoryRecord) {
    std::string expected =
        "\n00:01 00 00 01 85 41 00 00 ff 01 e0 01 18 53 58 34 -----A-------SX4"
        "\n10:38 32 34 47 20 53 74 61 63 6b 61 62 6c 65 20 53 824G Stackable S"
        "\n20:77 69 74 63 68 02 0c 39 31 2d 30 30 34 38 2d 30 witch--91-0048-0"
        "\n30:32 31 30 03 0a 53 58 42 31 30 34 30 32 33 31 04 210--SXB1040231-"
        "\n40:06 02 53 4b 10 40 2a 05 02 0a 17 06 04 00 50 85 --SK-@*-------P-"
        "\n50:41 07 01 03 ff ff ff ff ff ff ff ff ff ff ff ff A---------------";
    for (const char* row : {"60", "70", "80", "90", "a0", "b0", "c0", "d0", "e0", "f0"}) {
        expected += "\n" + std::string(row) + ":";
        for (int i = 0; i < 16; ++i) expected += "ff ";
        expected += "----------------";
    }
    expected +=
        "\n%VPD begins at offset 8 \n\nProduct Name:SX4824G Stackable Switch\nPart "
        "Number:91-0048-0210\nSerial Number:SXB1040231\nMAC: 02-53-4b-10-40-2a\nMfg Year: 2010 "
        "Week: 23\nCard Type: 0x00508541\nHardware Revision: 0x03";
    ASSERT_EQ(fellEepromDump(0, 256), 0);
    EXPECT_EQ(con().output(), expected);
}

TEST_F(Vpd, AnsweringNoTwiceRewritesTheSameRecord) {
    const auto before = eeprom().bytes();
    con().send("n\rn\r");
    EXPECT_EQ(BootVPDFileGenerate(), 0);
    EXPECT_EQ(eeprom().bytes(), before);
    EXPECT_EQ(eeprom().writeCycles, 256);
    EXPECT_NE(con().output().find("MAC address ( 02:53:4B:10:40:2A ) will be used. (y/n): "),
              std::string::npos);
    EXPECT_NE(con().output().find("serial number ( SXB1040231) will be used. (y/n): "),
              std::string::npos);
}

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
    EXPECT_NE(con().output().find(
                  "-> ERROR: Invalid characters in the MAC address.\n\n\n\nEnter the six byte "
                  "starting MAC address (example: 000629328140)\n-> ERROR: Invalid MAC address "
                  "length.\n\n\n\nEnter the six byte starting MAC address (example: "
                  "000629328140)\n-> Entered MAC: 00:06:29:32:81:40 \n"),
              std::string::npos)
        << con().output();
    EXPECT_NE(con().output().find("-> \nIllegal char - in input.\n\n\nEnter a serial number"),
              std::string::npos);
    uint8_t record[256];
    ASSERT_EQ(tarnEepromGet(0, record, 256), 0);
    int serial, length, mac;
    ASSERT_EQ(getCFDFieldOffset(record, &serial, &length, &mac), 0);
    EXPECT_EQ(std::string(record + serial, record + serial + length), "AB12");
    EXPECT_EQ(record[mac + 5], 0x40);
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
