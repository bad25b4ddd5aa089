#include "platform/clock.h"

#include <time.h>

#include "platform/board.h"
#include "platform/kernel.h"

namespace plat {

uint64_t HostClock::nowUs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

void HostClock::sleepUs(uint64_t us) {
    struct timespec ts {
        time_t(us / 1000000u), long(us % 1000000u) * 1000
    };
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

namespace {
// Calendar seconds at monotonic time 0; set by clock_settime.
std::time_t calendarBase = 0;
bool calendarSet = false;
STK_RESET_HOOK {
    calendarBase = 0;
    calendarSet = false;
}
}  // namespace

int sysClkRateGet() {
    return kTicksPerSecond;
}

uint64_t nowUs() {
    return board().clock().nowUs();
}

int taskDelay(int ticks) {
    if (ticks > 0) board().clock().sleepUs(uint64_t(ticks) * 1000000u / kTicksPerSecond);
    return 0;
}

unsigned sleep(unsigned seconds) {
    board().clock().sleepUs(uint64_t(seconds) * 1000000u);
    return 0;
}

int nanosleep(long seconds, long nanoseconds) {
    if (seconds < 0 || nanoseconds < 0 || nanoseconds >= 1000000000L) return -1;
    board().clock().sleepUs(uint64_t(seconds) * 1000000u + uint64_t(nanoseconds) / 1000u);
    return 0;
}

uint64_t tickGet() {
    return nowUs() * kTicksPerSecond / 1000000u;
}

int clock_settime(std::time_t seconds, long nanoseconds) {
    if (nanoseconds < 0 || nanoseconds >= 1000000000L) return -1;
    calendarBase = seconds - std::time_t(nowUs() / 1000000u);
    calendarSet = true;
    return 0;
}

std::time_t time() {
    std::time_t now = std::time_t(nowUs() / 1000000u);
    if (!calendarSet) {
        if (board().clock().isVirtual()) return now;
        return ::time(nullptr);
    }
    return calendarBase + now;
}

std::time_t mktime(std::tm* tm) {
    tm->tm_isdst = 0;
    std::time_t t = ::timegm(tm);
    return t;
}

std::tm localtime(std::time_t t) {
    std::tm out{};
    ::gmtime_r(&t, &out);
    return out;
}

}  // namespace plat
