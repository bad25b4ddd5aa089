// The board's I2C buses as device models see them: a bus hands each transfer
// to the device at the 7-bit address that follows a start; a missing device
// does not acknowledge, as on real wires.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace sim {

// A device on an I2C bus, driven by the bus conditions.
class I2cTarget {
  public:
    virtual ~I2cTarget() = default;
    // Its address followed a (repeated) start; true acknowledges it.
    virtual bool select(bool read) = 0;
    // A byte from the master; true acknowledges it.
    virtual bool writeByte(uint8_t value) = 0;
    // The next byte the device puts on the bus.
    virtual uint8_t readByte() = 0;
    virtual void stop() {}

    // Test controls: the next `nackSelections` selections go unanswered
    // (-1: all of them, as if the device were missing); selections counts
    // every selection, answered or not.
    int nackSelections = 0;
    int selections = 0;
};

// A device with 256 byte registers behind a register pointer: the first byte
// written after the address sets the pointer, later bytes are stored and read
// from it, the pointer advancing. Stands in for the devices the boot program
// does not use (memory module EEPROM, sensor, expander, power supply EEPROMs).
class RegisterFile : public I2cTarget {
  public:
    bool select(bool read) override;
    bool writeByte(uint8_t value) override;
    uint8_t readByte() override { return bytes[pointer_++]; }

    std::array<uint8_t, 256> bytes{};

  private:
    uint8_t pointer_ = 0;
    bool pointerNext_ = false;
};

class I2cBus {
  public:
    // Places a device at a 7-bit address; returns it.
    I2cTarget* add(uint8_t address7, std::unique_ptr<I2cTarget> device);
    template <class T>
    T* find(uint8_t address7) {
        auto it = devices_.find(address7);
        return it == devices_.end() ? nullptr : dynamic_cast<T*>(it->second.get());
    }

    // Bus conditions from a controller. The first byte sent after a start is
    // the address byte (7-bit address, direction in bit 0). send returns true
    // when the byte was acknowledged; receive takes a byte from the selected
    // device, `ack` being the master's answer to it.
    void start(bool repeated);
    bool send(uint8_t value);
    uint8_t receive(bool ack);
    void stop();

    // Test control: with `tracing` set, every condition is added to `trace`:
    // "S" start, "Sr" repeated start, "A2+" a byte sent and acknowledged
    // ("-" not), "r12+" a byte received and acknowledged by the master, "P" stop.
    bool tracing = false;
    std::string trace;

  private:
    void note(const char* fmt, unsigned value = 0, char ack = 0);

    std::map<uint8_t, std::unique_ptr<I2cTarget>> devices_;
    I2cTarget* selected_ = nullptr;
    bool reading_ = false;
    bool addressNext_ = false;
};

}  // namespace sim
