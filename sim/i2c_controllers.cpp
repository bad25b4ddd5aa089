#include "sim/i2c_controllers.h"

#include "platform/clock.h"
#include "platform/host/board.h"

namespace sim {

namespace {
constexpr uint64_t kByteUs = 90;  // nine bit times at 100 kHz

void byteTime() {
    plat::board().clock().sleepUs(kByteUs);
}

// Control and status bits of the processor's controller.
constexpr uint8_t kEnable = 0x80, kMaster = 0x20, kTransmit = 0x10, kNoAck = 0x08,
                  kRepeatStart = 0x04;
constexpr uint8_t kBusBusy = 0x20, kDone = 0x02, kNoAckReceived = 0x01, kComplete = 0x80;
}  // namespace

uint8_t* I2cControllerModel::reg(uint32_t offset) {
    switch (offset) {
        case 0x00:
            return &address_;
        case 0x04:
            return &divider_;
        case 0x08:
            return &control_;
        case 0x0C:
            return &status_;
        case 0x10:
            return &data_;
        case 0x14:
            return &filter_;
        default:
            return nullptr;
    }
}

// Each register is the first byte of its word; a 32-bit access carries it in
// the word's most significant byte.
bool I2cControllerModel::read(uint32_t offset, int width, uint32_t* value) {
    uint8_t* r = reg(offset);
    if (!r || width == 2) return false;
    uint8_t v = *r;
    if (offset == 0x10 && (control_ & kMaster) && !(control_ & kTransmit) && !stalled) {
        byteTime();
        data_ = bus_.receive(!(control_ & kNoAck));
        status_ |= kDone | kComplete;
    }
    *value = width == 4 ? uint32_t(v) << 24 : v;
    return true;
}

bool I2cControllerModel::write(uint32_t offset, int width, uint32_t value) {
    uint8_t* r = reg(offset);
    if (!r || width == 2) return false;
    uint8_t v = uint8_t(width == 4 ? value >> 24 : value);
    switch (offset) {
        case 0x08:
            writeControl(v);
            break;
        case 0x0C:
            status_ = uint8_t((status_ & (kBusBusy | kNoAckReceived)) | (v & kDone));
            break;
        case 0x10:
            data_ = v;
            if ((control_ & kMaster) && (control_ & kTransmit) && !stalled) {
                byteTime();
                bool ack = bus_.send(v);
                status_ = uint8_t((status_ & ~kNoAckReceived) | (ack ? 0 : kNoAckReceived) | kDone |
                                  kComplete);
            }
            break;
        default:
            *r = v;
    }
    return true;
}

void I2cControllerModel::writeControl(uint8_t v) {
    uint8_t old = control_;
    control_ = uint8_t(v & ~kRepeatStart);
    bool wasMaster = (old & kMaster) && (old & kEnable);
    bool master = (v & kMaster) && (v & kEnable);
    if (!wasMaster && master) {
        bus_.start(false);
        status_ |= kBusBusy;
    } else if (wasMaster && !master) {
        bus_.stop();
        status_ &= uint8_t(~kBusBusy);
    } else if (master && (v & kRepeatStart)) {
        bus_.start(true);
    }
}

// --- Communications module -------------------------------------------------------

namespace {
constexpr uint32_t kParamPointer = 0x8AFC;
constexpr uint32_t kI2Mod = 0x11860, kI2Com = 0x1186C, kI2Cer = 0x11870;
constexpr uint32_t kCommandReg = 0x119C0;
// Parameter area fields.
constexpr uint32_t kRbase = 0x00, kTbase = 0x02, kRbptr = 0x10, kTbptr = 0x20;
// Descriptor bits.
constexpr uint16_t kReady = 0x8000, kWrap = 0x2000, kLast = 0x0800, kStart = 0x0400, kNak = 0x0004;
}  // namespace

uint32_t CpmI2cModel::get(uint32_t offset, int width) const {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | space_[(offset + uint32_t(i)) % kSize];
    return v;
}

void CpmI2cModel::put(uint32_t offset, int width, uint32_t value) {
    for (int i = width - 1; i >= 0; --i, value >>= 8)
        space_[(offset + uint32_t(i)) % kSize] = uint8_t(value);
}

uint8_t CpmI2cModel::busByte(uint32_t address) {
    if (address - base_ < kSize) return space_[address - base_];
    uint8_t v = 0xFF;
    plat::board().map().read8(address, &v);
    return v;
}

void CpmI2cModel::setBusByte(uint32_t address, uint8_t value) {
    if (address - base_ < kSize)
        space_[address - base_] = value;
    else
        plat::board().map().write8(address, value);
}

bool CpmI2cModel::read(uint32_t offset, int width, uint32_t* value) {
    *value = get(offset, width);
    return true;
}

bool CpmI2cModel::write(uint32_t offset, int width, uint32_t value) {
    if (offset == kCommandReg && width == 4) {
        command(value);
    } else if (offset == kI2Com && width == 1) {
        put(offset, 1, value & 0x7F);  // the start bit clears itself
        if ((value & 0x80) && (get(kI2Mod, 1) & 0x01)) transfer();
    } else {
        put(offset, width, value);
    }
    return true;
}

void CpmI2cModel::command(uint32_t value) {
    uint32_t params = get(kParamPointer, 2);
    if (value & 0x80000000u) {
        for (uint32_t r = kI2Mod; r < kI2Mod + 0x18; ++r) space_[r] = 0;
    } else if (value & 0x00010000u) {
        // Initialise receive and transmit parameters: back to the first descriptors.
        put(params + kRbptr, 2, get(params + kRbase, 2));
        put(params + kTbptr, 2, get(params + kTbase, 2));
    }
    put(kCommandReg, 4, 0);  // done at once
}

void CpmI2cModel::transfer() {
    uint32_t params = get(kParamPointer, 2);
    uint32_t tx = get(params + kTbptr, 2);
    bool inTransfer = false;
    uint8_t events = 0;
    for (int guard = 0; guard < 16; ++guard) {
        uint16_t status = uint16_t(get(tx, 2));
        if (!(status & kReady)) break;
        uint32_t length = get(tx + 2, 2);
        uint32_t buffer = get(tx + 4, 4);
        uint32_t next = 0;
        if ((status & kStart) || !inTransfer) {
            bus_.start(inTransfer);
            inTransfer = true;
            uint8_t address = busByte(buffer);
            byteTime();
            if (!bus_.send(address)) {
                status |= kNak;
            } else if (address & 1) {
                // The bytes after the address only clock the reception.
                uint32_t rx = get(params + kRbptr, 2);
                uint32_t rxBuffer = get(rx + 4, 4);
                uint32_t count = length > 0 ? length - 1 : 0;
                for (uint32_t i = 0; i < count; ++i) {
                    byteTime();
                    setBusByte(rxBuffer + i, bus_.receive(i + 1 < count));
                }
                uint16_t rxStatus = uint16_t(get(rx, 2));
                put(rx + 2, 2, count);
                put(rx, 2, rxStatus & ~kReady);
                put(params + kRbptr, 2, (rxStatus & kWrap) ? get(params + kRbase, 2) : rx + 8);
                events |= 0x01;
                next = length;
            }
            if (!next) next = 1;
        }
        if (!(status & kNak)) {
            for (uint32_t i = next; i < length; ++i) {
                byteTime();
                bus_.send(busByte(buffer + i));
            }
        }
        status &= uint16_t(~kReady);
        put(tx, 2, status);
        events |= 0x02;
        if ((status & kLast) || (status & kNak)) {
            bus_.stop();
            inTransfer = false;
        }
        tx = (status & kWrap) ? get(params + kTbase, 2) : tx + 8;
        if (status & kNak) break;
    }
    if (inTransfer) bus_.stop();
    put(params + kTbptr, 2, tx);
    put(kI2Cer, 1, get(kI2Cer, 1) | events);
}

}  // namespace sim
