// The time calls of the boot routines over the installed clock, and the
// calendar arithmetic (UTC: the board has no time zone).
#include "platform/clock.h"

#include "platform/services.h"

namespace plat {

namespace {
// Calendar seconds at monotonic time 0; set by clock_settime.
std::time_t calendarBase = 0;
bool calendarSet = false;
STK_RESET_HOOK {
    calendarBase = 0;
    calendarSet = false;
}

Clock& clock() {
    return *services().clock;
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t daysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}
}  // namespace

int Clock::ticksPerSecond() const {
    return kTicksPerSecond;
}

int sysClkRateGet() {
    return clock().ticksPerSecond();
}

uint64_t nowUs() {
    return clock().nowUs();
}

int taskDelay(int ticks) {
    if (ticks > 0) clock().sleepUs(uint64_t(ticks) * 1000000u / uint32_t(sysClkRateGet()));
    return 0;
}

unsigned sleep(unsigned seconds) {
    clock().sleepUs(uint64_t(seconds) * 1000000u);
    return 0;
}

int nanosleep(long seconds, long nanoseconds) {
    if (seconds < 0 || nanoseconds < 0 || nanoseconds >= 1000000000L) return -1;
    clock().sleepUs(uint64_t(seconds) * 1000000u + uint64_t(nanoseconds) / 1000u);
    return 0;
}

uint64_t tickGet() {
    return nowUs() * uint32_t(sysClkRateGet()) / 1000000u;
}

int clock_settime(std::time_t seconds, long nanoseconds) {
    if (nanoseconds < 0 || nanoseconds >= 1000000000L) return -1;
    calendarBase = seconds - std::time_t(nowUs() / 1000000u);
    calendarSet = true;
    return 0;
}

std::time_t time() {
    if (!calendarSet) return clock().calendarSeconds();
    return calendarBase + std::time_t(nowUs() / 1000000u);
}

std::time_t mktime(std::tm* tm) {
    // Fields out of range carry over, as the C library's mktime does.
    int64_t month = tm->tm_mon;
    int64_t year = int64_t(tm->tm_year) + 1900 + floorDiv(month, 12);
    month -= floorDiv(month, 12) * 12;
    int64_t days = daysFromCivil(year, int(month) + 1, 1) + tm->tm_mday - 1;
    int64_t seconds =
        days * 86400 + int64_t(tm->tm_hour) * 3600 + int64_t(tm->tm_min) * 60 + tm->tm_sec;
    tm->tm_isdst = 0;
    std::time_t t = std::time_t(seconds);
    *tm = localtime(t);
    return t;
}

std::tm localtime(std::time_t t) {
    int64_t seconds = int64_t(t);
    int64_t days = floorDiv(seconds, 86400);
    int64_t rest = seconds - days * 86400;
    std::tm out{};
    out.tm_hour = int(rest / 3600);
    out.tm_min = int(rest / 60 % 60);
    out.tm_sec = int(rest % 60);
    out.tm_wday = int((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    // Civil date from days (the inverse of daysFromCivil).
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    int day = int(dayOfYear - (153 * mp + 2) / 5 + 1);
    int month = int(mp < 10 ? mp + 3 : mp - 9);
    int64_t year = yearOfEra + era * 400 + (month <= 2);
    out.tm_year = int(year - 1900);
    out.tm_mon = month - 1;
    out.tm_mday = day;
    out.tm_yday = int(days - daysFromCivil(year, 1, 1));
    out.tm_isdst = 0;
    return out;
}

}  // namespace plat
