#include "sim/ds1338.h"

#include <ctime>
#include <vector>

#include "platform/clock.h"
#include "platform/host/board_store.h"

namespace sim {

namespace {
uint8_t toBcd(int v) {
    return uint8_t((v / 10) << 4 | (v % 10));
}
int fromBcd(uint8_t v) {
    return (v >> 4) * 10 + (v & 0x0F);
}
}  // namespace

Ds1338::Ds1338() {
    std::vector<uint8_t> file;
    if (plat::readBoardFile(kFile, file) && file.size() == 72) {
        for (int i = 0; i < 64; ++i) registers_[i] = file[size_t(i)];
        int64_t savedAt = 0;
        for (int i = 64; i < 72; ++i) savedAt = int64_t(uint64_t(savedAt) << 8 | file[size_t(i)]);
        twelveHour_ = registers_[2] & 0x40;
        takeWritten();
        if (!halted()) offset_ += plat::referenceSeconds() - savedAt;
        return;
    }
    std::tm now = plat::localtime(std::time_t(plat::referenceSeconds()));
    setTime(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
}

int64_t Ds1338::secondsNow() const {
    return halted() ? frozen_ : plat::referenceSeconds() + offset_;
}

void Ds1338::latch() {
    std::tm t = plat::localtime(std::time_t(secondsNow()));
    registers_[0] = uint8_t((registers_[0] & 0x80) | toBcd(t.tm_sec));
    registers_[1] = toBcd(t.tm_min);
    if (twelveHour_) {
        int h12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
        registers_[2] = uint8_t(0x40 | (t.tm_hour >= 12 ? 0x20 : 0) | toBcd(h12));
    } else {
        registers_[2] = toBcd(t.tm_hour);
    }
    registers_[4] = toBcd(t.tm_mday);
    registers_[5] = toBcd(t.tm_mon + 1);
    registers_[6] = toBcd(t.tm_year % 100);
}

void Ds1338::takeWritten() {
    std::tm t{};
    t.tm_sec = fromBcd(registers_[0] & 0x7F);
    t.tm_min = fromBcd(registers_[1] & 0x7F);
    twelveHour_ = registers_[2] & 0x40;
    if (twelveHour_)
        t.tm_hour = fromBcd(registers_[2] & 0x1F) % 12 + ((registers_[2] & 0x20) ? 12 : 0);
    else
        t.tm_hour = fromBcd(registers_[2] & 0x3F);
    t.tm_mday = fromBcd(registers_[4] & 0x3F);
    t.tm_mon = fromBcd(registers_[5] & 0x1F) - 1;
    t.tm_year = 100 + fromBcd(registers_[6]);
    int64_t seconds = int64_t(plat::mktime(&t));
    frozen_ = seconds;
    offset_ = seconds - plat::referenceSeconds();
}

void Ds1338::save() {
    latch();
    uint8_t file[72];
    for (int i = 0; i < 64; ++i) file[i] = registers_[i];
    uint64_t at = uint64_t(plat::referenceSeconds());
    for (int i = 71; i >= 64; --i, at >>= 8) file[i] = uint8_t(at);
    plat::writeBoardFile(kFile, file, sizeof file);
}

bool Ds1338::select(bool read) {
    // The chip copies the running time into its registers at every start.
    latch();
    pointerNext_ = !read;
    return true;
}

bool Ds1338::writeByte(uint8_t value) {
    if (pointerNext_) {
        pointer_ = value & 0x3F;
        pointerNext_ = false;
        return true;
    }
    if (pointer_ < 7) {
        timeWritten_ = true;
        registers_[pointer_] = value;
    } else if (pointer_ == 7) {
        // The oscillator-stopped flag can be cleared, not set.
        registers_[7] = uint8_t((value & ~0x20) | (registers_[7] & value & 0x20));
    } else {
        registers_[pointer_] = value;
    }
    written_ = true;
    pointer_ = (pointer_ + 1) & 0x3F;
    return true;
}

uint8_t Ds1338::readByte() {
    uint8_t value = registers_[pointer_];
    pointer_ = (pointer_ + 1) & 0x3F;
    return value;
}

void Ds1338::stop() {
    if (timeWritten_) takeWritten();
    if (written_) save();
    timeWritten_ = written_ = false;
}

void Ds1338::setTime(int year, int month, int day, int hour, int minute, int second) {
    registers_[0] = toBcd(second);
    registers_[1] = toBcd(minute);
    registers_[2] = toBcd(hour);
    registers_[4] = toBcd(day);
    registers_[5] = toBcd(month);
    registers_[6] = toBcd(year % 100);
    registers_[8] = uint8_t(year / 100);
    takeWritten();
    save();
}

void Ds1338::halt() {
    latch();
    frozen_ = secondsNow();
    registers_[0] |= 0x80;
    registers_[7] |= 0x20;
    save();
}

uint8_t Ds1338::reg(int index) {
    latch();
    return registers_[index & 0x3F];
}

void Ds1338::setReg(int index, uint8_t value) {
    latch();
    registers_[index & 0x3F] = value;
    if ((index & 0x3F) < 7) takeWritten();
    save();
}

}  // namespace sim
