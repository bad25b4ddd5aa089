// What happens on the host around the simulated board: a power-cycle, the
// hand-off to a loaded image, the demo board.
#pragma once

#include <string>

#include "platform/host/board.h"

namespace stkhost {

// Resets the board's volatile state (processor registers, working directory,
// process-wide records) before start-up runs again.
void powerCycle();

// The boot program handed the processor to a loaded image: report it, or,
// when it is a program for this host and --run-firmware was given, run it
// with the console line as its terminal until it ends. Returns the process
// exit status (the program's own when it ran).
int runHandedOffImage(const plat::BoardStop& stop);

// A board folder without a flash chip whose volume already holds files was
// prepared by hand: its flash disk is marked formatted, keeping the files.
void adoptPreparedDisk();

// Whether the demo firmware image is there to seed a board; false: *reason says why.
bool demoImageFound(std::string* reason);
// Seeds an empty board with the demo firmware image; false on failure.
bool seedDemoBoard();

// Makes the board folder ready before start-up: creates it when only the
// folder itself is missing (with the volume folder DskVol for a folder
// volume), and refuses an empty path, a path that is not a
// folder, and a folder this program cannot write. *fresh: no board has been
// kept there yet (no flash chip file). false: *reason says why.
bool prepareBoardFolder(const std::string& dir, bool folderVolume, std::string* reason,
                        bool* fresh);

// Holds the board folder for the rest of the program's life, so that a second
// program cannot run the same board. false: *reason names the holder.
bool lockBoardFolder(const std::string& dir, std::string* reason);

}  // namespace stkhost
