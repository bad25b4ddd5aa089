// Attaches the two I2C controllers with the devices on their buses: the
// processor's bus carries the memory module EEPROM, the temperature sensor,
// the DS1338 clock and the main and daughter board EEPROMs; the
// communications module's bus the two power supply EEPROMs and the I/O
// expander.
#pragma once

namespace plat {
class Board;
}

namespace board {
void attachI2cDevices(plat::Board& board);
}
