// Decompressing and starting the operational code.
#pragma once

// Starts the active image with the given start type; returns only if the
// image's entry returns. Every decompression failure resets the board.
int start_operational_code(int startType);
