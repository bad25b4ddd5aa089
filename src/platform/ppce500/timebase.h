// Time on the board: the e500 time base, a 64-bit counter at the frequency the
// device tree names, and the idle tick, a periodic interrupt of the MPIC's
// timer that wakes the core from a doze.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace ppce {

// QEMU's ppce500 time base frequency, used when the device tree names none.
constexpr uint32_t kDefaultTimebaseHz = 400000000u;
// The idle tick's period: a doze lasts until the next tick. Waits first spin for kSpinBeforeDozeUs,
// so that bytes streaming in (a transfer) are taken at full speed; once the line is quiet, a byte
// is seen at most one tick late (the UART's FIFO holds it).
constexpr uint32_t kIdleTickUs = 1000;
constexpr uint32_t kSpinBeforeDozeUs = 2000;

// Sets the frequency and starts the idle tick.
void timebaseInit(uint32_t hz);
uint32_t timebaseHz();
// Microseconds since the time base started (reset or power-on).
uint64_t timebaseUs();
// Dozes until the next idle tick: the core stops until the MPIC's timer
// interrupt wakes it. Interrupts are off again on return.
void idleTick();

// The platform clock over the time base: real time, never virtual.
class TimeBaseClock : public plat::Clock {
  public:
    uint64_t nowUs() override { return timebaseUs(); }
    void sleepUs(uint64_t us) override;
    bool isVirtual() const override { return false; }
    // The kernel tick is the idle tick: a one-tick wait (the flash probe's)
    // lasts a millisecond, not a sixtieth of a second.
    int ticksPerSecond() const override { return int(1000000u / kIdleTickUs); }
};

}  // namespace ppce
