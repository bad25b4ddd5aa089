// The VPD record: arbitrary EEPROM contents walked by the display and by the
// field location, and the generation dialog answered with arbitrary
// keystrokes.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "board/i2c.h"
#include "board/vpd.h"
#include "boot/vpd_generate.h"
#include "sim/at24c02.h"
#include "sim/i2c_controllers.h"
#include "support/fuzz_board.h"

namespace {

// The main board's EEPROM holding `rom`, kept in memory only (the board's
// own one rewrites its board file at every byte written) and without the
// write cycle, whose polling would take most of the time of an input.
void installEeprom(const std::array<uint8_t, kVpdSize>& rom) {
    auto* controller = plat::board().map().find<sim::I2cControllerModel>();
    auto eeprom = std::make_unique<sim::At24c02>("", rom);
    eeprom->writeCycleUs = 0;
    controller->bus().add(sim::At24c02::kMainBoardAddress, std::move(eeprom));
}

// The located fields lie inside the record, the MAC after the serial.
void checkFieldOffsets(const uint8_t* record) {
    int serialOffset = -1, serialLength = -1, macOffset = -1;
    if (getCFDFieldOffset(record, &serialOffset, &serialLength, &macOffset) != 0) return;
    FUZZ_CHECK(serialOffset >= 9 && serialLength >= 0);
    FUZZ_CHECK(serialOffset + serialLength + 2 == macOffset);
    FUZZ_CHECK(macOffset + 6 <= kVpdSize);
    uint8_t replaced[kVpdSize];
    const uint8_t mac[6] = {0x00, 0x06, 0x29, 0x32, 0x81, 0x40};
    FUZZ_CHECK(vpdRecordReplace(record, "SERIAL0123456789ABCDEF", mac, replaced) == 0);
    // The bytes before the serial field are kept.
    FUZZ_CHECK(std::memcmp(replaced, record, size_t(serialOffset - 2)) == 0);
}

}  // namespace

// The first 256 bytes are the EEPROM (0xFF where the input is shorter); the
// rest is typed into the generation dialog.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::array<uint8_t, kVpdSize> rom;
    rom.fill(0xFF);
    size_t romBytes = std::min(size, rom.size());
    std::memcpy(rom.data(), data, romBytes);
    checkFieldOffsets(rom.data());

    plat::ScriptedConsole& con = stkfuzz::freshBoard();
    con.send(std::string(reinterpret_cast<const char*>(data + romBytes), size - romBytes));
    stkfuzz::runOnBoard([&] {
        i2cInit(0x90, 0x10, 0x3f);
        installEeprom(rom);
        FUZZ_CHECK(fellEepromDump(0, kVpdSize) == 0);
        int rc = BootVPDFileGenerate();
        FUZZ_CHECK(rc == 0 || rc == -1);
    });
    return 0;
}
