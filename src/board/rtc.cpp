#include "board/rtc.h"

#include <cstdlib>
#include <cstring>

#include "board/i2c.h"
#include "platform/platform.h"

namespace {

constexpr int kBus = 1, kClockDevice = 3;
constexpr int kCenturyReg = 8;

int readRegs(int first, uint8_t* regs, int count) {
    return i2cRandomRead(kBus, kClockDevice, first, 1, regs, count);
}
int writeRegs(int first, const uint8_t* regs, int count) {
    return i2cRandomWrite(kBus, kClockDevice, first, 1, regs, count);
}

uint32_t fromBcd(uint8_t v) {
    return uint32_t(v >> 4) * 10 + (v & 0x0F);
}
uint8_t toBcd(int32_t v) {
    return uint8_t((v / 10) * 16 + v % 10);
}

// Emulates a re-entrant tokenizer step: skips leading delimiters, returns the
// field up to the next delimiter (cut there), or nullptr when none is left.
char* nextField(char** rest, const char* delimiters) {
    char* p = *rest + std::strspn(*rest, delimiters);
    if (*p == '\0') {
        *rest = p;
        return nullptr;
    }
    char* end = p + std::strcspn(p, delimiters);
    if (*end != '\0') *end++ = '\0';
    *rest = end;
    return p;
}

}  // namespace

int tarnRtcInit() {
    uint8_t reg = 0;
    if (readRegs(0, &reg, 1) != 0) return -1;
    if (reg & 0x80) {
        reg &= 0x7F;  // starts the oscillator, keeping the seconds
        if (writeRegs(0, &reg, 1) != 0) return -1;
    }
    if (readRegs(7, &reg, 1) != 0) return -1;
    if (reg & 0x20) {
        reg &= uint8_t(~0x20);
        if (writeRegs(7, &reg, 1) != 0) return -1;
    }
    return 0;
}

// The flag bits are masked off before a register is decoded, and a clock
// found in 12-hour form is read as such (12 AM is hour 0).
int tarnRtcGet(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
               uint32_t* second) {
    uint8_t regs[7];
    uint8_t century = 0;
    if (readRegs(0, regs, 7) != 0) return -1;
    if (readRegs(kCenturyReg, &century, 1) != 0) return -1;
    *second = fromBcd(regs[0] & 0x7F);
    *minute = fromBcd(regs[1] & 0x7F);
    if (regs[2] & 0x40)
        *hour = fromBcd(regs[2] & 0x1F) % 12 + ((regs[2] & 0x20) ? 12 : 0);
    else
        *hour = fromBcd(regs[2] & 0x3F);
    *day = fromBcd(regs[4] & 0x3F);
    *month = fromBcd(regs[5] & 0x1F);
    // A board whose clock RAM does not last over a reset counts in a fixed
    // century; the byte is read all the same.
    int fixedCentury = plat::boardDescription().rtcFixedCentury;
    if (fixedCentury != 0) century = uint8_t(fixedCentury);
    *year = fromBcd(regs[6]) + 100u * century;
    return 0;
}

int tarnRtcSet(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
               int32_t second) {
    // Values that two BCD digits or the century byte cannot hold would be
    // stored as another time.
    for (int32_t v : {month, day, hour, minute, second})
        if (v < 0 || v > 99) return -1;
    const plat::BoardDescription& board = plat::boardDescription();
    if (year < int32_t(board.rtcFirstYear) || year > int32_t(board.rtcLastYear)) return -1;
    uint8_t regs[7] = {toBcd(second), toBcd(minute), toBcd(hour),      0,
                       toBcd(day),    toBcd(month),  toBcd(year % 100)};
    if (writeRegs(0, regs, 7) != 0) return -1;
    uint8_t century = uint8_t(year / 100);
    return writeRegs(kCenturyReg, &century, 1);
}

int tarnRtcShow() {
    uint32_t year, month, day, hour, minute, second;
    if (tarnRtcGet(&year, &month, &day, &hour, &minute, &second) != 0) return -1;
    plat::printf("Year %d, Month %d, Day %d, Hour %d Min %d, Sec %d\n", int(year), int(month),
                 int(day), int(hour), int(minute), int(second));
    return 0;
}

int sysTodInit() {
    return tarnRtcInit();
}
int sysTodGet(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour, uint32_t* minute,
              uint32_t* second) {
    return tarnRtcGet(year, month, day, hour, minute, second);
}
int sysTodSet(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
              int32_t second) {
    return tarnRtcSet(year, month, day, hour, minute, second);
}

int tod_set() {
    plat::printf("Enter date and time as follows: mm-dd-yyyy h:m:s (24-hour format)\n");
    plat::fflush();
    char line[80] = {};
    if (!plat::gets(line, sizeof line)) {
        plat::printf("\n\nError reading from stream!\nReal Time Clock not set.\n");
        return -1;
    }
    static const char* const kDelimiters[6] = {"-", "-", " ", ":", ":", " "};
    unsigned long value[6];
    char* rest = line;
    for (int i = 0; i < 6; ++i) {
        char* field = nextField(&rest, kDelimiters[i]);
        if (!field) {
            plat::printf("\nDate and time are incomplete\n\n");
            return -1;
        }
        value[i] = std::strtoul(field, nullptr, 10);
    }
    unsigned long month = value[0], day = value[1], year = value[2], hour = value[3],
                  minute = value[4], second = value[5];
    struct Check {
        unsigned long value, low, high;
        const char* message;
    };
    const Check checks[] = {
        {month, 1, 12, "\nMonth value of %d is invalid\n\n"},
        {day, 1, 31, "\nDay value of %d is invalid\n\n"},
        {hour, 0, 23, "\nHour value of %d is invalid\n\n"},
        {minute, 0, 59, "\nMinute value of %d is invalid\n\n"},
        {second, 0, 59, "\nSecond value of %d is invalid\n\n"},
        {year, plat::boardDescription().rtcFirstYear, plat::boardDescription().rtcLastYear,
         "\nYear value of %d is invalid\n\n"},
    };
    for (const Check& c : checks) {
        if (c.value < c.low || c.value > c.high) {
            plat::printf(c.message, int(c.value));
            return -1;
        }
    }
    if (tarnRtcSet(int32_t(year), int32_t(month), int32_t(day), int32_t(hour), int32_t(minute),
                   int32_t(second)) != 0) {
        plat::printf("RTC set failed\n");
        return -1;
    }
    return 0;
}
