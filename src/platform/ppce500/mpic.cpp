#include "platform/ppce500/mpic.h"

#include "platform/ppce500/cpu.h"
#include "platform/ppce500/memory_map.h"

namespace ppce {

namespace {

constexpr uint32_t kMpic = kCcsrBase + 0x40000u;
constexpr uint32_t kGcr = 0x1020, kGcrMixedMode = 0x20000000u, kGcrReset = 0x80000000u;
// Global timer 0: current count, base count (bit 31 inhibits counting),
// vector/priority (bit 31 masks), destination.
constexpr uint32_t kTimerCount = 0x1100, kTimerBase = 0x1110, kTimerVector = 0x1120;
constexpr uint32_t kTimerDestination = 0x1130;
constexpr uint32_t kCountInhibit = 0x80000000u, kMasked = 0x80000000u;
constexpr uint32_t kCpu0TaskPriority = 0x20080;
constexpr uint32_t kTickPriority = 1u << 16, kTickVector = 0x00F0;
constexpr uint32_t kCpu0 = 1;
constexpr uint32_t kMaxCount = 0x7FFFFFFFu;
constexpr uint32_t kCalibrationUs = 1000;

uint32_t timerHz = 25000000u;

uint32_t read(uint32_t offset) {
    return *reinterpret_cast<volatile uint32_t*>(uintptr_t(kMpic + offset));
}

void write(uint32_t offset, uint32_t value) {
    *reinterpret_cast<volatile uint32_t*>(uintptr_t(kMpic + offset)) = value;
    __asm__ volatile("mbar" : : : "memory");
}

}  // namespace

void mpicInit(uint32_t timebaseHz) {
    write(kGcr, kGcrMixedMode);
    write(kCpu0TaskPriority, 0);
    write(kTimerVector, kMasked | kTickPriority | kTickVector);
    write(kTimerDestination, kCpu0);
    // How fast the timer counts: over about a millisecond of the time base.
    write(kTimerBase, kMaxCount);
    uint64_t ticks = uint64_t(kCalibrationUs) * timebaseHz / 1000000u, start = timeBase();
    uint32_t first = read(kTimerCount);
    while (timeBase() - start < ticks) {
    }
    uint32_t counted = first - read(kTimerCount);
    uint64_t elapsed = timeBase() - start;
    write(kTimerBase, kCountInhibit | kMaxCount);
    if (counted != 0 && elapsed != 0) timerHz = uint32_t(uint64_t(counted) * timebaseHz / elapsed);
}

void mpicStartTick(uint32_t periodUs) {
    uint64_t count = uint64_t(periodUs) * timerHz / 1000000u;
    write(kTimerBase, uint32_t(count == 0 ? 1 : count > kMaxCount ? kMaxCount : count));
    write(kTimerVector, kTickPriority | kTickVector);
}

void mpicStopTick() {
    write(kTimerVector, kMasked | kTickPriority | kTickVector);
    write(kTimerBase, kCountInhibit | kMaxCount);
}

void mpicReset() {
    write(kGcr, kGcrReset);
    while (read(kGcr) & kGcrReset) {
    }
}

}  // namespace ppce
