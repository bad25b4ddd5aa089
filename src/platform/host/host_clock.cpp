#include "platform/host/host_clock.h"

#include <time.h>

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

std::time_t HostClock::calendarSeconds() {
    return ::time(nullptr);
}

}  // namespace plat
