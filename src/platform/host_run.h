// What happens on the host around the simulated board: a power-cycle, the
// hand-off to a loaded image, the demo board.
#pragma once

#include "platform/board.h"

namespace stkhost {

// Resets the board's volatile state (processor registers, working directory,
// process-wide records) before start-up runs again.
void powerCycle();

// The boot program handed the processor to a loaded image: report it, or run
// the image when it is a program for this host and --run-firmware was given.
// Returns the process exit status.
int runHandedOffImage(const plat::BoardStop& stop);

// Seeds an empty board with the demo firmware image; false on failure.
bool seedDemoBoard();

}  // namespace stkhost
