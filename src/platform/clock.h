// Time on the board: a monotonic clock in microseconds (the target's time
// base, the host's monotonic clock, or a virtual clock in tests), the kernel
// tick, and the calendar clock set at start-up.
#pragma once

#include <cstdint>
#include <ctime>

namespace plat {

class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t nowUs() = 0;
    virtual void sleepUs(uint64_t us) = 0;
    virtual bool isVirtual() const = 0;
    // Calendar seconds now, for a calendar clock that nobody has set yet.
    virtual std::time_t calendarSeconds() { return std::time_t(nowUs() / 1000000u); }
    // The kernel tick rate (sysClkRateGet).
    virtual int ticksPerSecond() const;
};

// The tick rate of a clock without a tick of its own.
constexpr int kTicksPerSecond = 60;

int sysClkRateGet();
// Sleeps for a number of ticks; 0 only yields.
int taskDelay(int ticks);
unsigned sleep(unsigned seconds);
int nanosleep(long seconds, long nanoseconds);
// Ticks since power-on.
uint64_t tickGet();
uint64_t nowUs();

// Calendar clock (clock 0). Until start-up sets it, it reads the clock's own
// calendar estimate (Clock::calendarSeconds).
int clock_settime(std::time_t seconds, long nanoseconds);
std::time_t time();
// Broken-down time <-> seconds, in UTC (the board has no time zone).
std::time_t mktime(std::tm* tm);
std::tm localtime(std::time_t t);

}  // namespace plat
