// The console line of the host program: its standard input and output, a
// pseudo-terminal, or a serial device.
#pragma once

#include <cstddef>

#include "platform/console.h"

namespace plat {

// `spec`: "stdio", "pty", or a device path. A pseudo-terminal's path goes to
// standard error, and the call returns only once a terminal program has
// opened it. nullptr: err says why.
ConsoleDevice* openHostConsole(const char* spec, char* err, size_t errSize);
// Whether the host program's standard input is a terminal.
bool hostStdinIsTerminal();

}  // namespace plat
