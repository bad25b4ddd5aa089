// Where everything lives on the ppce500 board (QEMU's ppce500 machine, the
// boot program loaded with -kernel). Virtual addresses are what the program
// uses; the TLB1 entries set up at start-up give the physical side.
//
//   0x00000000-0x03FFFFFF  SDRAM, free for loaded images (the operational
//                          code at 0x00010000, the diagnostics image at
//                          0x01000000, up to 16 MiB each)
//   0x04000000-...         the boot program (linked here, exception vectors
//                          first), its data, bss, 1 MiB stack and the
//                          exception stack; then the heap up to the end of
//                          SDRAM (QEMU's device tree sits in what becomes the
//                          heap: it is read before the heap is used)
//   0xE0000000             never mapped: ppceFaultForTest writes here
//   0xF0000000-0xF00FFFFF  CCSR, the processor's registers (physical
//                          0xF_E000_0000), cache-inhibited and guarded
//   0xFE000000-0xFFFFFFFF  NOR flash, 32 MiB (physical 0xF_0000_0000), two
//                          16 MiB entries, cache-inhibited and guarded; the
//                          boot flash window 0xFFF00000 is offset 0x1F00000
//                          of norflash.bin
#pragma once

#include <cstdint>

namespace ppce {

constexpr uint32_t kCcsrBase = 0xF0000000u;
constexpr uint64_t kCcsrPhys = 0xFE0000000ull;
constexpr uint32_t kCcsrSize = 0x00100000u;

constexpr uint32_t kFlashBase = 0xFE000000u;
constexpr uint64_t kFlashPhys = 0xF00000000ull;
constexpr uint32_t kFlashSize = 0x02000000u;

// SDRAM mapped from 0 at most this far (below the unmapped hole and CCSR).
constexpr uint32_t kSdramMapLimit = 0x80000000u;
// Used when the device tree names no memory: what the runner gives QEMU.
constexpr uint32_t kSdramDefaultSize = 128u << 20;
// An address no TLB entry maps: a store there is a data TLB error.
constexpr uint32_t kUnmappedAddress = 0xE0000000u;

// CCSR blocks.
constexpr uint32_t kUartBase = kCcsrBase + 0x4500u;    // 16550, byte registers
constexpr uint32_t kGutsRstcr = kCcsrBase + 0xE00B0u;  // reset control
constexpr uint32_t kGpioBase = kCcsrBase + 0xFF000u;   // GPIO: pin 0 powers off
constexpr uint32_t kPciBase = kCcsrBase + 0x8000u;     // PCI controller: CFG_ADDR, CFG_DATA
constexpr uint32_t kL2Ctl = kCcsrBase + 0x20000u;      // L2 cache control

// What start-up learnt about the board; filled before constructors run.
struct BoardInfo {
    const void* deviceTree = nullptr;  // as QEMU passed it in r3
    uint32_t sdramSize = 0;            // bytes of SDRAM mapped from 0
    uint32_t timebaseHz = 0;
    uint32_t uartClockHz = 0;
    // Clocks the device tree names, for the processor display (0: not named).
    uint32_t coreClockHz = 0;
    uint32_t busClockHz = 0;
    uint32_t pciClockHz = 0;
    bool timebaseFromTree = false;  // false: the default frequency is in use
    bool sdramFromTree = false;
    // The command line QEMU passes (-append), from /chosen "bootargs"; empty
    // without one. Copied at start-up: the tree itself lies in the heap.
    char bootArgs[128] = {};
};
const BoardInfo& boardInfo();

// The heap: from the end of the program to the end of mapped SDRAM.
uintptr_t heapStart();
uintptr_t heapEnd();

}  // namespace ppce
