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
// The console on the master side of a pseudo-terminal, as "pty" opens it;
// heldSlave, a descriptor of the slave that keeps the master from seeing a
// hang-up while no program holds the other side. Both are closed with it.
ConsoleDevice* ptyMasterConsole(int master, int heldSlave);
// Whether the host program's standard input is a terminal.
bool hostStdinIsTerminal();

}  // namespace plat
