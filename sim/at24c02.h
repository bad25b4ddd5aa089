// The AT24C02 EEPROM: 256 bytes behind a word address. A write of up to 8
// bytes stays within its page (the address wraps inside it); the stop that
// ends a write starts the internal write cycle, during which the chip does
// not acknowledge its address. Reads run on through the whole memory.
//
// The main board's EEPROM (the VPD) is persisted as the board file
// "vpd_eeprom.bin", its 256 bytes in address order; a fresh board gets a
// factory record.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim/i2c_bus.h"

namespace sim {

class At24c02 : public I2cTarget {
  public:
    static constexpr uint8_t kMainBoardAddress = 0x51;
    static constexpr const char* kMainBoardFile = "vpd_eeprom.bin";

    // file: the board file that keeps the contents, empty for none; a missing
    // file starts from `fresh` (and is written).
    At24c02(std::string file, const std::array<uint8_t, 256>& fresh);

    bool select(bool read) override;
    bool writeByte(uint8_t value) override;
    uint8_t readByte() override { return bytes_[address_++]; }
    void stop() override;

    // Test controls.
    const std::array<uint8_t, 256>& bytes() const { return bytes_; }
    void setBytes(const std::array<uint8_t, 256>& bytes);
    uint64_t writeCycleUs = 5000;
    int writeCycles = 0;
    // A larger part's two word address bytes (high byte first); the 256
    // bytes modelled are those the low byte reaches.
    int addressBytes = 1;

  private:
    std::string file_;
    std::array<uint8_t, 256> bytes_;
    uint8_t address_ = 0;
    int addressLeft_ = 0;
    bool written_ = false;
    uint64_t busyUntilUs_ = 0;
};

// The VPD record a new main board leaves the factory with.
std::array<uint8_t, 256> factoryVpdRecord();

}  // namespace sim
