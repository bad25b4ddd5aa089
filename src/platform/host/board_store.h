// State of the simulated board's own devices (the clock chip, the EEPROMs)
// kept as files in the board folder, and the time line that such a device
// keeps counting on while the board is switched off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plat {

// Reads the whole board file `name` (a plain name inside the board folder).
// false when it is missing or cannot be read.
bool readBoardFile(const char* name, std::vector<uint8_t>& bytes);
// Replaces the board file with the bytes (written aside, then renamed, so a
// killed program leaves the old or the new contents). false on failure.
bool writeBoardFile(const char* name, const uint8_t* bytes, size_t size);

// Seconds on a line that runs on while the board is off: the host's calendar
// for the host clock; a fixed origin (1 January 2010) plus the virtual seconds
// for a virtual clock, so tests see the same moments on every run.
int64_t referenceSeconds();

}  // namespace plat
