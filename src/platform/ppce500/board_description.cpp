// QEMU's ppce500 machine as the drivers see it: no communications module (so
// no second I2C controller), a VPD EEPROM larger than 256 bytes (two word
// address bytes), and a clock whose RAM is cleared at every start and reset
// and whose year register counts from 2000.
#include "platform/board_description.h"

namespace plat {

const BoardDescription& boardDescription() {
    static const BoardDescription ppce500{
        .hasCommsI2cController = false,
        .vpdEepromAddressBytes = 2,
        .rtcFixedCentury = 20,
        .rtcFirstYear = 2000,
        .rtcLastYear = 2099,
    };
    return ppce500;
}

}  // namespace plat
