#include "sim/intel_flash.h"

#include <algorithm>

namespace sim {

namespace {

// The query table QEMU's device gives for this geometry (word, value); words
// not listed read 0, the identification words 0 and 1 among them.
constexpr uint16_t kCfiTable[][2] = {
    {0x10, 'Q'},  {0x11, 'R'},  {0x12, 'Y'},  {0x13, 0x01}, {0x15, 0x31}, {0x1B, 0x45},
    {0x1C, 0x55}, {0x1F, 0x07}, {0x20, 0x07}, {0x21, 0x0A}, {0x23, 0x04}, {0x24, 0x04},
    {0x25, 0x04}, {0x27, 0x19}, {0x28, 0x02}, {0x2A, 0x0B}, {0x2C, 0x01}, {0x2D, 0xFF},
    {0x2E, 0x01}, {0x30, 0x01}, {0x31, 'P'},  {0x32, 'R'},  {0x33, 'I'},  {0x34, '1'},
    {0x35, '0'},  {0x3F, 0x01},
};
constexpr uint16_t kManufacturer = 0x0089, kDevice = 0x0018;
constexpr uint32_t kBufferWords = IntelFlash::kBufferBytes / 2;

}  // namespace

IntelFlash::IntelFlash(plat::Clock& clock, std::string filePath)
    : FlashModel(clock, std::move(filePath), kSize, true) {
    for (const auto& entry : kCfiTable) cfi_[entry[0]] = entry[1];
}

IntelFlash::~IntelFlash() {
    if (mode_ == Mode::Busy && !opStalls_ && clockNs() >= opDoneNs_) finish();
}

void IntelFlash::failNext(Op op, int times) {
    (op == Op::Program ? failPrograms_ : failErases_) = times;
}

void IntelFlash::stallNext(Op op) {
    (op == Op::Program ? stallProgram_ : stallErase_) = true;
}

uint16_t IntelFlash::readWord(uint32_t offset) {
    switch (mode_) {
        case Mode::Array:
            return arrayWord(offset);
        case Mode::Query:
            return cfi_[offset / 2 % cfi_.size()];
        case Mode::Identifier: {
            uint32_t index = offset / 2 % 0x100;
            return index == 0 ? kManufacturer : index == 1 ? kDevice : 0;
        }
        default:
            countStatusRead();
            if (mode_ == Mode::Busy && !opStalls_) skipPolls(offset, opDoneNs_);
            return status_;
    }
}

bool IntelFlash::read(uint32_t offset, int width, uint32_t* value) {
    if (offset >= kSize || offset % uint32_t(width) != 0) return false;
    uint32_t result = 0;
    for (uint32_t at = offset & ~1u; at < offset + uint32_t(width); at += 2) {
        tick();
        uint16_t word = readWord(at);
        traceCycle(false, at, word);
        result = result << 16 | word;
    }
    if (width == 1) result = (offset & 1) ? result & 0xFF : result >> 8;
    *value = result;
    return true;
}

bool IntelFlash::write(uint32_t offset, int width, uint32_t value) {
    if (width != 2 || offset >= kSize || offset % 2 != 0) return false;
    tick();
    traceCycle(true, offset, uint16_t(value));
    command(offset, uint16_t(value));
    return true;
}

void IntelFlash::command(uint32_t offset, uint16_t value) {
    uint8_t code = uint8_t(value);
    switch (mode_) {
        case Mode::Busy:
            return;  // the chip listens again once the operation has ended
        case Mode::Query:
            if (code == 0xFF) mode_ = Mode::Array;
            return;
        case Mode::ProgramData:
            pending_.assign(1, Pending{offset, value});
            return start(Op::Program, offset);
        case Mode::EraseConfirm:
            if (code == 0xD0) return start(Op::Erase, offset);
            if (code == 0xFF) {
                mode_ = Mode::Array;
                return;
            }
            return sequenceError();
        case Mode::BufferCount:
            // The count and every data word lie in the buffer's page of the block.
            if (value >= kBufferWords) return sequenceError();
            bufferLeft_ = value + 1u;
            pending_.clear();
            mode_ = Mode::BufferData;
            return;
        case Mode::BufferData:
            if (pending_.empty()) bufferBase_ = offset / kBufferBytes * kBufferBytes;
            if (offset / kBufferBytes * kBufferBytes != bufferBase_) return sequenceError();
            pending_.push_back(Pending{offset, value});
            if (--bufferLeft_ == 0) mode_ = Mode::BufferConfirm;
            return;
        case Mode::BufferConfirm:
            if (code != 0xD0) return sequenceError();
            return start(Op::Program, bufferBase_);
        default:
            return idleCommand(offset, code);
    }
}

// Commands of the read modes.
void IntelFlash::idleCommand(uint32_t offset, uint8_t code) {
    switch (code) {
        case 0x70:
            mode_ = Mode::Status;
            return;
        case 0x50:
            status_ = kReady;
            mode_ = Mode::Array;
            return;
        case 0x90:
            mode_ = Mode::Identifier;
            return;
        case 0x98:
            mode_ = Mode::Query;
            return;
        case 0x40:
        case 0x10:
            mode_ = Mode::ProgramData;
            return;
        case 0xE8:
            bufferBase_ = offset / kBufferBytes * kBufferBytes;
            mode_ = Mode::BufferCount;
            return;
        case 0x20:
            mode_ = Mode::EraseConfirm;
            return;
        default:  // FF, F0, 00 and anything not understood
            mode_ = Mode::Array;
            return;
    }
}

void IntelFlash::sequenceError() {
    pending_.clear();
    status_ |= kEraseError | kProgramError;
    mode_ = Mode::Status;
}

void IntelFlash::start(Op op, uint32_t offset) {
    // Typical times from the query table: 2^n us for a program (word 0x1F,
    // or 0x20 for a buffer), 2^n ms for a block erase (word 0x21).
    bool buffer = op == Op::Program && mode_ == Mode::BufferConfirm;
    uint32_t typical = op == Op::Erase ? 0x21 : buffer ? 0x20 : 0x1F;
    uint64_t unitNs = op == Op::Erase ? 1000000 : 1000;
    int& failures = op == Op::Erase ? failErases_ : failPrograms_;
    bool& stall = op == Op::Erase ? stallErase_ : stallProgram_;
    opFails_ = failures > 0;
    if (opFails_) --failures;
    opStalls_ = stall;
    stall = false;
    op_ = op;
    opBlock_ = offset / kBlockSize;
    opDoneNs_ = nowNs() + (unitNs << cfi_[typical]);
    dueAt(opStalls_ ? kNever : opDoneNs_);
    status_ &= uint16_t(~kReady);
    mode_ = Mode::Busy;
}

void IntelFlash::finishDue(uint64_t now) {
    if (mode_ == Mode::Busy && !opStalls_ && now >= opDoneNs_) finish();
}

void IntelFlash::finish() {
    mode_ = Mode::Status;
    status_ |= kReady;
    if (opFails_) {
        status_ |= op_ == Op::Erase ? kEraseError : kProgramError;
    } else if (op_ == Op::Erase) {
        eraseRange(opBlock_ * kBlockSize, kBlockSize);
        ++erases_[opBlock_];
        persist(opBlock_ * kBlockSize, kBlockSize);
    } else if (!pending_.empty()) {
        for (const auto& p : pending_) programWord(p.offset, p.value);
        auto [lo, hi] = std::minmax_element(pending_.begin(), pending_.end(),
                                            [](auto& a, auto& b) { return a.offset < b.offset; });
        persist(lo->offset, hi->offset - lo->offset + 2);
    }
    pending_.clear();
}

void IntelFlash::losePower() {
    if (mode_ == Mode::Busy && !opFails_ && !opStalls_) {
        // Cut short, the operation leaves cells anywhere between before and after.
        seedNoise();
        if (op_ == Op::Erase) {
            scrambleErase(opBlock_ * kBlockSize, kBlockSize);
            persist(opBlock_ * kBlockSize, kBlockSize);
        } else {
            for (auto& p : pending_) p.value = scrambled(p.value);
            finish();
        }
    }
    mode_ = Mode::Array;
    status_ = kReady;
    pending_.clear();
    powerLost();
}

}  // namespace sim
