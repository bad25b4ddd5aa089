// The two I2C controllers of the processor, as the driver programs them.
//
// The processor's own controller: 8-bit registers, one per 32-bit word, at
// 0x3000 in the configuration registers (address, frequency divider,
// control, status, data, digital filter). Setting the master bit makes a
// start, clearing it a stop, the repeated-start bit a repeated start; in
// transmit mode a data register write sends the byte, in receive mode a data
// register read returns the last byte and receives the next one, answered with
// the no-acknowledge bit's choice.
//
// The communications module's controller: its dual-port RAM (parameter area,
// buffer descriptors, buffers) and registers in one region at the module's
// base. A start command sends what the ready transmit descriptors hold,
// receiving into the receive descriptor when the address byte asks to read.
//
// Every byte on a bus takes 90 microseconds of platform time (100 kHz).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/address_map.h"
#include "sim/i2c_bus.h"

namespace sim {

class I2cControllerModel : public plat::BusDevice {
  public:
    static constexpr uint32_t kOffset = 0x3000;  // in the configuration registers
    static constexpr uint32_t kSize = 0x100;

    bool read(uint32_t offset, int width, uint32_t* value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    I2cBus& bus() { return bus_; }
    // Test control: transfers never finish (the done flag stays clear).
    bool stalled = false;

  private:
    uint8_t* reg(uint32_t offset);
    void writeControl(uint8_t value);

    I2cBus bus_;
    uint8_t address_ = 0, divider_ = 0, control_ = 0, status_ = 0, data_ = 0, filter_ = 0;
};

class CpmI2cModel : public plat::BusDevice {
  public:
    static constexpr uint32_t kSize = 0x12000;
    explicit CpmI2cModel(uint32_t base) : base_(base), space_(kSize, 0) {}

    bool read(uint32_t offset, int width, uint32_t* value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    I2cBus& bus() { return bus_; }

  private:
    uint32_t get(uint32_t offset, int width) const;
    void put(uint32_t offset, int width, uint32_t value);
    uint8_t busByte(uint32_t address);
    void setBusByte(uint32_t address, uint8_t value);
    void command(uint32_t value);
    void transfer();

    uint32_t base_;
    std::vector<uint8_t> space_;
    I2cBus bus_;
};

}  // namespace sim
