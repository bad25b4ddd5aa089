// The console line of the host program: its standard input and output, a
// pseudo-terminal, or a serial device.
#pragma once

#include <cstddef>
#include <string>

#include "platform/console.h"

namespace plat {

// `spec`: "stdio", "pty", or a device path. A pseudo-terminal's path goes to
// standard error, with ptyLink (when given) made a symbolic link to it until
// the program ends, and the call returns only once a terminal program has
// opened it. nullptr: err says why.
ConsoleDevice* openHostConsole(const char* spec, char* err, size_t errSize,
                               const std::string& ptyLink = {});
// Whether openHostConsole can take `spec` (before anything else is touched);
// false: err says why.
bool checkHostConsole(const char* spec, char* err, size_t errSize);
// Removes the link openHostConsole made; safe in a signal handler.
void removeConsoleLink();
// The console on the master side of a pseudo-terminal, as "pty" opens it;
// heldSlave, a descriptor of the slave that keeps the master from seeing a
// hang-up while no program holds the other side. Both are closed with it.
ConsoleDevice* ptyMasterConsole(int master, int heldSlave);
// Whether the host program's standard input is a terminal.
bool hostStdinIsTerminal();

}  // namespace plat
