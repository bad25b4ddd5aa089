// Attaches the two I2C controllers with the devices on their buses: the
// processor's bus carries the memory module EEPROM, the temperature sensor,
// the DS1338 clock and the main and daughter board EEPROMs; the
// communications module's bus the two power supply EEPROMs and the I/O
// expander.
#pragma once

namespace plat {
class Board;
}

namespace sim {
void attachI2cDevices(plat::Board& board);

// Sets the installed board's clock chip to a UTC time "YYYY-MM-DD HH:MM:SS"
// (running, 24-hour form, century in its RAM); false for another text or a
// board without the clock.
bool setBoardClock(const char* text);
// Whether setBoardClock would take the text.
bool isBoardClockText(const char* text);
}  // namespace sim
