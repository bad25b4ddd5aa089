#include "platform/ppce500/timebase.h"

#include "platform/ppce500/cpu.h"
#include "platform/ppce500/mpic.h"

namespace ppce {

namespace {

uint32_t tbHz = kDefaultTimebaseHz;

}  // namespace

void timebaseInit(uint32_t hz) {
    tbHz = hz ? hz : kDefaultTimebaseHz;
    hid0Set(hid0Get() | kHid0Tben | kHid0Doze);
    mpicInit(tbHz);
    mpicStartTick(kIdleTickUs);
}

uint32_t timebaseHz() {
    return tbHz;
}

uint64_t timebaseUs() {
    // Split so that ticks * 10^6 never overflows, however long the board runs.
    uint64_t ticks = timeBase();
    return ticks / tbHz * 1000000u + ticks % tbHz * 1000000u / tbHz;
}

void idleTick() {
    // Interrupts on and doze in one write: the tick's interrupt (or one
    // already pending) ends the doze, and its handler returns with both off.
    uint32_t msr = msrGet();
    msrSet(msr | kMsrEe | kMsrWe);
    msrSet(msr);
}

void TimeBaseClock::sleepUs(uint64_t us) {
    uint64_t deadline = timebaseUs() + us;
    for (uint64_t now = timebaseUs(); now < deadline; now = timebaseUs())
        if (deadline - now > kIdleTickUs) idleTick();  // the last tick's worth is spun
}

}  // namespace ppce
