// The DS1338 real-time clock: registers 0-6 hold the time in BCD (seconds
// with the oscillator-halt bit 0x80, minutes, hours with the 12-hour bit 0x40
// and PM bit 0x20, day of week, day, month, year within the century),
// register 7 the control bits (0x20: the oscillator has stopped), 8-63 the
// battery-backed RAM. The time runs on the platform clock; across power
// cycles it runs on the reference time line, so a board that was off for an
// hour reads an hour later.
//
// Persisted as the board file "ds1338.bin", 72 bytes: the 64 registers as
// they read at one moment, then that moment as 8 bytes (big-endian signed
// seconds of plat::referenceSeconds(), the host's UNIX time on a host board).
#pragma once

#include <cstdint>

#include "sim/i2c_bus.h"

namespace sim {

class Ds1338 : public I2cTarget {
  public:
    static constexpr uint8_t kAddress = 0x68;
    static constexpr const char* kFile = "ds1338.bin";

    // Loads the board file; a fresh board's clock runs at the reference time
    // (the host's UTC time) with the century in RAM.
    Ds1338();

    bool select(bool read) override;
    bool writeByte(uint8_t value) override;
    uint8_t readByte() override;
    void stop() override;

    // Test controls and the host program's clock setting: runs from the given
    // UTC time in 24-hour form, the century stored in RAM.
    void setTime(int year, int month, int day, int hour, int minute, int second);
    // Stops the oscillator (halt bit and oscillator-stopped flag set).
    void halt();
    bool halted() const { return registers_[0] & 0x80; }
    // The registers as they read now.
    uint8_t reg(int index);
    void setReg(int index, uint8_t value);

  private:
    // Seconds of the time the registers show now (year 2000 + register 6).
    int64_t secondsNow() const;
    void latch();        // time -> registers 0-6
    void takeWritten();  // registers 0-6 -> time
    void save();

    uint8_t registers_[64] = {};
    bool twelveHour_ = false;
    int64_t offset_ = 0;  // running: time - reference seconds
    int64_t frozen_ = 0;  // halted: the time kept
    uint8_t pointer_ = 0;
    bool pointerNext_ = false;
    bool timeWritten_ = false;
    bool written_ = false;
};

}  // namespace sim
