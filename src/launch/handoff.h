// The hand-off sequence that starts a loaded image: used by the launcher of
// the operational code and by the diagnostics image.
#pragma once

#include <cstdint>

// Masks external and critical interrupts, pauses a second, locks interrupts,
// writes the data cache back over the loaded bytes, invalidates the
// instruction cache, clears HID0 and calls `entry` with `startType`.
// `loadedBytes`: how much the load placed at `entry`.
// On the board the call only returns if the image returns; on the host the
// platform ends the boot program here.
void launchHandoff(uint32_t entry, int startType, uint32_t loadedBytes);

// Bits of the machine state register cleared before the hand-off.
constexpr uint32_t kMsrExternalIntEnable = 0x00008000;
constexpr uint32_t kMsrCriticalIntEnable = 0x00020000;
// Flash-invalidate bit of L1CSR1.
constexpr uint32_t kL1Csr1FlashInvalidate = 0x2;
