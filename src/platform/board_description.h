// What the drivers need to know about the board they run on where the boards
// differ. The switch's own board (simulated on the host) and the board build's
// QEMU machine share the driver code; each target describes its board here.
#pragma once

#include <cstdint>

namespace plat {

struct BoardDescription {
    // The communications module with its I2C controller, which reads the power
    // supply EEPROMs and the I/O expander (I2C devices 6 to 8).
    bool hasCommsI2cController = true;
    // Word address bytes of the VPD EEPROM (I2C device 4): 1 for the AT24C02's
    // 256 bytes, 2 for a larger part.
    int vpdEepromAddressBytes = 1;
    // The clock chip's century: 0 when its battery-backed RAM keeps it (byte
    // 8); otherwise the century the board's clock counts in, on a board whose
    // clock RAM does not last over a reset.
    int rtcFixedCentury = 0;
    // The years the clock can be set to.
    uint32_t rtcFirstYear = 0, rtcLastYear = 25599;
};

// The running board's description.
const BoardDescription& boardDescription();

}  // namespace plat
