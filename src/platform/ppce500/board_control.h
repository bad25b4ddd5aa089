// The board's ways to stop: reset, power-off and halt. None returns.
#pragma once

namespace ppce {

// Drains the console like boardPowerOff, then resets the board through the
// global utilities' reset control register (RSTCR, HRESET_REQ): QEMU
// restarts the program, or exits under -no-reboot.
[[noreturn]] void boardReset();
// Drains the console (and gives a terminal 0.2 s to read it), then raises
// GPIO pin 0, which powers QEMU's board off (QEMU exits with status 0).
[[noreturn]] void boardPowerOff();
// Stops the core for good: interrupts off, dozing, only a reset leaves it.
[[noreturn]] void boardHalt();

}  // namespace ppce
