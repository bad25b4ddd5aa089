#include "sim/i2c_bus.h"

#include <cstdio>

namespace sim {

bool RegisterFile::select(bool read) {
    pointerNext_ = !read;
    return true;
}

bool RegisterFile::writeByte(uint8_t value) {
    if (pointerNext_) {
        pointer_ = value;
        pointerNext_ = false;
    } else {
        bytes[pointer_++] = value;
    }
    return true;
}

I2cTarget* I2cBus::add(uint8_t address7, std::unique_ptr<I2cTarget> device) {
    auto& slot = devices_[address7];
    slot = std::move(device);
    return slot.get();
}

void I2cBus::note(const char* fmt, unsigned value, char ack) {
    if (!tracing) return;
    char text[16];
    std::snprintf(text, sizeof text, fmt, value);
    if (!trace.empty()) trace += ' ';
    trace += text;
    if (ack) trace += ack;
}

void I2cBus::start(bool repeated) {
    note(repeated ? "Sr" : "S");
    selected_ = nullptr;
    addressNext_ = true;
}

bool I2cBus::send(uint8_t value) {
    bool ack = false;
    if (addressNext_) {
        addressNext_ = false;
        auto it = devices_.find(uint8_t(value >> 1));
        if (it != devices_.end()) {
            I2cTarget& device = *it->second;
            ++device.selections;
            if (device.nackSelections != 0) {
                if (device.nackSelections > 0) --device.nackSelections;
            } else if (device.select(value & 1)) {
                selected_ = &device;
                reading_ = value & 1;
                ack = true;
            }
        }
    } else if (selected_ && !reading_) {
        ack = selected_->writeByte(value);
    }
    note("%02X", value, ack ? '+' : '-');
    return ack;
}

uint8_t I2cBus::receive(bool ack) {
    // Nobody drives the bus: the pull-ups read as ones.
    uint8_t value = selected_ && reading_ ? selected_->readByte() : 0xFF;
    note("r%02X", value, ack ? '+' : '-');
    return value;
}

void I2cBus::stop() {
    note("P");
    addressNext_ = false;
    // A stop ends the transfer for every device (a write cycle starts now).
    for (auto& entry : devices_) entry.second->stop();
    selected_ = nullptr;
}

}  // namespace sim
