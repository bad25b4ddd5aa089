// Helpers that the host's console devices share: line speeds in termios
// terms, whole writes and waits on a descriptor by the board's clock, and
// the console on a pseudo-terminal.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/console.h"

namespace plat::hostline {

// termios code of a speed in bits per second; false for one it has not.
bool baudCode(int bps, speed_t* code);
// Bits per second of a termios code, or -1.
int baudValue(speed_t code);
// Writes all n bytes (waiting while the descriptor is full); n, or -1.
long writeAllFd(int fd, const char* p, size_t n);
// Waits for input on fd for up to timeoutUs of the board's clock (< 0: no
// limit): true when it is readable (or has hung up, for the read to tell).
bool pollReadable(int fd, int64_t timeoutUs);

// Opens a pseudo-terminal as the console (see openHostConsole).
ConsoleDevice* openPtyConsole(char* err, size_t errSize, const std::string& link);

}  // namespace plat::hostline
