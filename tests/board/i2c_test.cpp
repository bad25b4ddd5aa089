// The I2C driver against the board's controller and device models, seen as
// the conditions on the wires and the driver's trace lines.
#include "board/i2c.h"

#include <string>

#include "sim/at24c02.h"
#include "sim/i2c_controllers.h"
#include "support/test_board.h"

namespace {

using sim::CpmI2cModel;
using sim::I2cControllerModel;
const char kTraces[] = "board/i2c_traces.txt";  // the driver's trace on the console, by name

struct Transfer {
    const char* name;
    bool write;
    int device, offset, adrsBytes, count;
    int rc;
    const char* mainBus;    // conditions on the processor's bus
    const char* moduleBus;  // on the communications module's bus
    int lastByte = -1;      // the last byte read into the caller's buffer
    uint8_t missing = 0;    // 7-bit address of a device that never answers
};

class I2cTransfers : public stktest::BoardTest, public ::testing::WithParamInterface<Transfer> {
  protected:
    I2cTransfers() {
        i2cInit(0x90, 0x10, 0x3f);
        i2cTraceSet(kI2cTraceOn);
        mainBus().tracing = moduleBus().tracing = true;
        auto* eeprom = mainBus().find<sim::At24c02>(sim::At24c02::kMainBoardAddress);
        eeprom->writeCycleUs = 200;  // answers the third poll
        auto* supply = moduleBus().find<sim::RegisterFile>(0x50);
        supply->bytes[0x10] = 0x12;
        supply->bytes[0x11] = 0x34;
    }
    sim::I2cBus& mainBus() { return plat::board().map().find<I2cControllerModel>()->bus(); }
    sim::I2cBus& moduleBus() { return plat::board().map().find<CpmI2cModel>()->bus(); }
};

TEST_P(I2cTransfers, DriveTheBusAsExpected) {
    const Transfer& t = GetParam();
    uint8_t buffer[4] = {0x5A, 0x00, 0x00, 0x00};
    for (sim::I2cBus* bus : {&mainBus(), &moduleBus()})
        if (auto* device = bus->find<sim::I2cTarget>(t.missing)) device->nackSelections = -1;
    int rc = t.write ? i2cRandomWrite(1, t.device, t.offset, t.adrsBytes, buffer, t.count)
                     : i2cRandomRead(1, t.device, t.offset, t.adrsBytes, buffer, t.count);
    EXPECT_EQ(rc, t.rc);
    EXPECT_EQ(mainBus().trace, t.mainBus);
    EXPECT_EQ(moduleBus().trace, t.moduleBus);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTraces, t.name));
    if (t.lastByte >= 0) {
        EXPECT_EQ(buffer[t.count - 1], t.lastByte);
    }
}

const Transfer kTransfers[] = {
    {"Device0", false, 0, 0, 1, 1, -1, "", ""},
    {"Device9", false, 9, 0, 1, 1, -1, "", ""},
    {"OneByteNoAckBeforeTheByte", false, 3, 8, 1, 1, 0, "S D0+ 08+ Sr D1+ r14- P", ""},
    {"TwoBytesNoAckAfterTheFirst", false, 4, 8, 1, 2, 0, "S A2+ 08+ Sr A3+ rFF+ r01- P", ""},
    {"TwoAddressBytes", false, 1, 0x0123, 2, 1, 0, "S AE+ 01+ 23+ Sr AF+ r00- P", ""},
    {"NoAddressBytes", false, 1, 0x0123, 0, 1, 0, "S AE+ Sr AF+ r00- P", ""},
    {"EepromAnswersTheThirdPoll", true, 4, 0x10, 1, 1, 0, "S A2+ 10+ 5A+ P S A2- P S A2- P S A2+ P",
     ""},
    {"Device6ThroughTheModule", false, 6, 0x10, 1, 2, 0, "", "S A0+ 10+ P S A1+ r12+ r34- P", 0x34},
    {"WriteToDevice6GoesUnanswered", true, 6, 0, 1, 1, -1, "S A0- P", ""},
    {"MissingDevice", false, 5, 0, 1, 1, -1, "S A4- P", "", -1, 0x52},
    {"MissingDevice6", false, 6, 0x10, 1, 2, -1, "", "S A0- P", -1, 0x50},
    // An offset has 4 bytes: a fifth cannot be sent.
    {"FiveAddressBytesRead", false, 1, 0, 5, 1, -1, "", ""},
    {"FiveAddressBytesWrite", true, 1, 0, 5, 1, -1, "", ""},
    {"FourAddressBytes", true, 2, 0x01020304, 4, 1, 0, "S 5C+ 01+ 02+ 03+ 04+ 5A+ P S 5C+ P", ""},
};
INSTANTIATE_TEST_SUITE_P(Table, I2cTransfers, ::testing::ValuesIn(kTransfers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(I2cTransfers, ModuleControllerShowsItsRegisters) {
    uint8_t bytes[2];
    ASSERT_EQ(i2cRandomRead(1, 7, 0x20, 1, bytes, 2), 0);
    con().clearOutput();
    cpm_iic_show();
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTraces, "ModuleControllerShow"));
}

// The QEMU board has no communications module: its devices read as behind a
// controller that does not respond.
TEST_F(I2cTransfers, Device6WithoutTheModuleControllerFails) {
    plat::board().description.hasCommsI2cController = false;
    uint8_t bytes[2];
    EXPECT_EQ(i2cRandomRead(1, 6, 0x10, 1, bytes, 2), -1);
    EXPECT_EQ(moduleBus().trace, "");
    EXPECT_TRUE(stktest::matchesGolden(con().output(), kTraces, "Device6WithoutTheModule"));
}

TEST_F(I2cTransfers, HungControllerEndsTheTransferAndFreesTheBus) {
    auto* controller = plat::board().map().find<I2cControllerModel>();
    controller->stalled = true;
    uint8_t byte = 0;
    EXPECT_EQ(i2cRandomRead(1, 3, 0, 1, &byte, 1), -1);
    controller->stalled = false;
    EXPECT_EQ(i2cRandomRead(1, 3, 8, 1, &byte, 1), 0);
    EXPECT_EQ(byte, 20);
}

}  // namespace
