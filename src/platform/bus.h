// Bus cycles of the processor: the only way drivers reach hardware. On the
// host they go to the board's address map and its device models; on the
// target they are real loads and stores of the given width. The bus is
// big-endian: a 16-bit read at an even address returns the byte at that
// address as the high byte. false: nothing answers at that address (a bus
// error), and *value is left untouched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

bool busRead8(uint32_t addr, uint8_t* value);
bool busRead16(uint32_t addr, uint16_t* value);
bool busRead32(uint32_t addr, uint32_t* value);
bool busWrite8(uint32_t addr, uint8_t value);
bool busWrite16(uint32_t addr, uint16_t value);
bool busWrite32(uint32_t addr, uint32_t value);

// Plain memory behind [addr, addr+len) (SDRAM), or nullptr when that range is
// not plain memory (device registers, a flash chip that answers commands).
uint8_t* busMemory(uint32_t addr, uint32_t len);

// Copies [addr, addr+len) into dst: plain memory in one copy, anything else
// with aligned read cycles (16-bit where both ends allow it). false on a bus
// error.
bool busReadBlock(uint32_t addr, void* dst, size_t len);

}  // namespace plat
