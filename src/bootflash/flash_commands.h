// The flash chip's command sets, as the driver uses them: the AMD set (unlock
// cycles, data polling on DQ7, DQ5 and DQ1) of the board's chip, and the
// Intel set (a status register) of QEMU's flash. The probe picks one from the
// CFI query's primary algorithm; the rest of the driver is the same for both.
#pragma once

#include <cstdint>

namespace flashcmd {

// CFI primary algorithm codes.
constexpr uint32_t kIntelStandard = 0x0001, kAmdStandard = 0x0002, kIntelExtended = 0x0003;

// How a status wait ended; a write-buffer abort ends with the chip back in
// read mode already.
enum class WaitEnd { Done, Failed, Aborted, TimedOut };

struct CommandSet {
    // Back to reading the array, at the given address.
    void (*readMode)(uint32_t address);
    void (*sectorErase)(uint32_t sectorAddress);
    void (*wordProgram)(uint32_t address, uint16_t word);
    // Programs words from `bytes` (big-endian pairs) through the write buffer
    // at a buffer-aligned address; returns the address to wait at.
    uint32_t (*bufferProgram)(uint32_t address, const uint8_t* bytes, uint32_t words);
    // Waits for the operation (the driver's numbering) at the address to end;
    // `expected` is the data the array should then hold there.
    WaitEnd (*wait)(int operation, uint32_t address, uint16_t expected);
};

const CommandSet& amd();
const CommandSet& intel();

// 16-bit bus cycles at chip addresses; nothing answering reads as all ones.
uint16_t read(uint32_t address);
void write(uint32_t address, uint16_t value);
// Counts one status read of a wait; true (after the TIMEOUT message) when
// the wait has made its last allowed read.
bool statusReadsExhausted(uint32_t reads, int operation, uint32_t address);

}  // namespace flashcmd
