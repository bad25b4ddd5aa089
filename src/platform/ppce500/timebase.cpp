#include "platform/ppce500/timebase.h"

#include "platform/ppce500/cpu.h"

namespace ppce {

namespace {

uint32_t tbHz = kDefaultTimebaseHz;

constexpr uint32_t kTsrDecrementerStatus = 0x08000000u;  // TSR[DIS], write 1 to clear
constexpr uint32_t kTcrDecrementerEnable = 0x04000000u;  // TCR[DIE]
constexpr uint32_t kTcrAutoReload = 0x00400000u;         // TCR[ARE]

}  // namespace

void timebaseInit(uint32_t hz) {
    tbHz = hz ? hz : kDefaultTimebaseHz;
    hid0Set(hid0Get() | kHid0Tben | kHid0Doze);
    // A periodic decrementer, never reloaded by hand afterwards: under QEMU
    // 7.2, dozes woken by a decrementer loaded afresh for each one were seen
    // to sleep for good while console input streamed in; a free-running one
    // never did.
    uint32_t tick = uint32_t(uint64_t(kIdleTickUs) * tbHz / 1000000u);
    spr::set<spr::kTcr>(spr::get<spr::kTcr>() & ~kTcrDecrementerEnable);
    spr::set<spr::kDecar>(tick);
    spr::set<spr::kDec>(tick);
    spr::set<spr::kTcr>(spr::get<spr::kTcr>() | kTcrAutoReload);
    spr::set<spr::kTsr>(kTsrDecrementerStatus);
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
    uint32_t msr = msrGet();
    spr::set<spr::kTsr>(kTsrDecrementerStatus);
    spr::set<spr::kTcr>(spr::get<spr::kTcr>() | kTcrDecrementerEnable);
    // Interrupts on and doze in one write: the decrementer's interrupt ends
    // the doze, and its handler returns with both off again.
    msrSet(msr | kMsrEe | kMsrWe);
    spr::set<spr::kTcr>(spr::get<spr::kTcr>() & ~kTcrDecrementerEnable);
    msrSet(msr);
}

void TimeBaseClock::sleepUs(uint64_t us) {
    uint64_t deadline = timebaseUs() + us;
    for (uint64_t now = timebaseUs(); now < deadline; now = timebaseUs())
        if (deadline - now > kIdleTickUs) idleTick();  // the last tick's worth is spun
}

}  // namespace ppce
