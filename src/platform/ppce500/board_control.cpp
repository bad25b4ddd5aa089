#include "platform/ppce500/board_control.h"

#include <cstdint>

#include "platform/ppce500/cpu.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/mpic.h"
#include "platform/ppce500/timebase.h"
#include "platform/ppce500/uart.h"

namespace ppce {

namespace {

constexpr uint32_t kRstcrHresetRequest = 2;
constexpr uint32_t kGpioDirection = 0x00, kGpioData = 0x08;
constexpr uint32_t kGpioPin0 = 0x80000000u;  // pins are numbered from the top bit
constexpr uint64_t kSettleUs = 200000;

void write32(uint32_t addr, uint32_t value) {
    *reinterpret_cast<volatile uint32_t*>(uintptr_t(addr)) = value;
    __asm__ volatile("mbar" : : : "memory");
}

// The console's last line leaves the UART, then has a moment to be read:
// under QEMU a power-off (or a reset with -no-reboot) ends the emulator and
// its pty at once, and a terminal that has not read the line yet loses it.
void settleConsole() {
    uart::drain();
    for (uint64_t until = timebaseUs() + kSettleUs; timebaseUs() < until;) {
    }
}

}  // namespace

void boardReset() {
    settleConsole();
    write32(kGutsRstcr, kRstcrHresetRequest);
    boardHalt();  // the request takes effect outside the core
}

void boardPowerOff() {
    settleConsole();
    write32(kGpioBase + kGpioDirection, kGpioPin0);
    write32(kGpioBase + kGpioData, kGpioPin0);
    boardHalt();
}

void boardHalt() {
    // The idle tick stops too: nothing is left to wake the core, and QEMU
    // has no timer to serve.
    mpicStopTick();
    hid0Set(hid0Get() | kHid0Doze);
    for (;;) msrSet(kMsrWe);  // no interrupt enabled: nothing wakes the core
}

}  // namespace ppce
