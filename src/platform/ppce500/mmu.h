// TLB1 entries of the e500 core: the board's fixed translations.
#pragma once

#include <cstdint>

namespace ppce {

// Storage attributes (MAS2 WIMGE bits).
constexpr uint32_t kWimgeCacheInhibited = 0x08;
constexpr uint32_t kWimgeGuarded = 0x02;

// Writes TLB1 entry `esel`: the 4^tsize KiB page at `va` to `pa` (36-bit),
// supervisor read/write/execute, protected from invalidation.
void tlb1Write(unsigned esel, uint32_t va, uint64_t pa, unsigned tsize, uint32_t wimge);
void tlb1Invalidate(unsigned esel);
// Bytes of the page of TLB1 entry `esel`, 0 when it is not valid.
uint32_t tlb1Size(unsigned esel);

// Maps CCSR and the flash, then SDRAM from 0 for sdramSize bytes (with as
// many entries as the TLB has left), replacing the entry QEMU made for the
// start when the new ones reach mustCover (the end of the program). Returns
// the bytes of SDRAM mapped.
uint32_t mapBoard(uint32_t sdramSize, uint32_t mustCover);

}  // namespace ppce
