// Fixed places on this board's bus, the same on every target: the processor's
// configuration registers and the NOR flash chip's window. (SDRAM starts at
// 0; its size and the boot program's own area are the target's: kernel.h.)
#pragma once

#include <cstdint>

namespace plat {

constexpr uint32_t kCcsrBase = 0xF0000000;  // configuration registers
constexpr uint32_t kCcsrSize = 1u << 20;
constexpr uint32_t kNorBase = 0xFE000000;  // NOR flash chip window
constexpr uint32_t kNorSize = 32u << 20;

}  // namespace plat
