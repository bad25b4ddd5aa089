// Who this board is: the code of its processor board that images must name,
// the board identifier set when the processor is initialised, and the source
// path that start-up and menu failures name.
#pragma once

#include <cstdint>

// This board's target device code; images for other codes are refused.
constexpr uint32_t kTargetDevice = 0x00508541;

// The board identifier that processor initialisation reads from the board.
constexpr uint32_t kBoardIdValue = 0x85550000;

// Source path that the start-up and menu messages name for their failures.
constexpr const char* kBootConfigSource = "../../../bsp/cpu/tb8541/vxworks/start/bootConfig";

// Board identifier (0 until processor initialisation has set it).
int bspBoardIdGet();
void bspBoardIdSet(int id);
