#include "sim/nor_chip.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/host/board.h"

namespace {

// The part's query table (word offset, value); offsets not listed read 0.
constexpr uint16_t kCfiTable[][2] = {
    {0x00, 0x0001}, {0x01, 0x227E}, {0x0E, 0x2222}, {0x0F, 0x2201},  // identification
    {0x10, 0x0051}, {0x11, 0x0052}, {0x12, 0x0059}, {0x13, 0x0002}, {0x15, 0x0040}, {0x1B, 0x0027},
    {0x1C, 0x0036}, {0x1F, 0x0006}, {0x20, 0x0006}, {0x21, 0x0009}, {0x22, 0x0013}, {0x23, 0x0003},
    {0x24, 0x0005}, {0x25, 0x0003}, {0x26, 0x0002}, {0x27, 0x0019}, {0x28, 0x0002}, {0x2A, 0x0006},
    {0x2C, 0x0001}, {0x2D, 0x00FF}, {0x30, 0x0002}, {0x40, 0x0050}, {0x41, 0x0052}, {0x42, 0x0049},
    {0x43, 0x0031}, {0x44, 0x0033}, {0x45, 0x0014}, {0x46, 0x0002}, {0x47, 0x0001}, {0x49, 0x0008},
    {0x4C, 0x0002}, {0x4D, 0x00B5}, {0x4E, 0x00C5}, {0x4F, 0x0004}, {0x50, 0x0001},
};

// Command decoding looks at address bits A10-A0 of the word address.
constexpr uint32_t kCommandMask = 0x7FF;
constexpr uint32_t kUnlock1 = 0x555;
constexpr uint32_t kUnlock2 = 0x2AA;
constexpr uint32_t kCfiQuery = 0x55;
constexpr uint32_t kBufferWords = NorChip::kBufferBytes / 2;

constexpr uint16_t kDq7 = 0x80, kDq6 = 0x40, kDq5 = 0x20, kDq3 = 0x08, kDq2 = 0x04, kDq1 = 0x02;

}  // namespace

NorChip::NorChip(plat::Clock& clock, std::string filePath)
    : FlashModel(clock, std::move(filePath), kSize, false) {
    for (const auto& entry : kCfiTable) cfi_[entry[0]] = entry[1];
}

NorChip::~NorChip() {
    if (mode_ == Mode::Busy && !opFails_ && clockNs() >= opDoneNs_) finishOperation();
}

void NorChip::failNext(Op op, int times) {
    (op == Op::Program ? failPrograms_ : failErases_) = times;
}

void NorChip::finishDue(uint64_t now) {
    if (mode_ == Mode::Busy && !opFails_ && now >= opDoneNs_) finishOperation();
}

bool NorChip::pastLimit(uint64_t now) const {
    return opFails_ && now >= opLimitNs_;
}

uint16_t NorChip::statusWord(uint32_t word, uint64_t now) {
    countStatusRead();
    // An operation that ends is polled for at once; one that fails polls
    // through to its time limit.
    if (mode_ == Mode::Busy && !opFails_ && skipPolls(word * 2, opDoneNs_) % 2) toggle_ = !toggle_;
    toggle_ = !toggle_;
    uint16_t status = toggle_ ? kDq6 : 0;
    if (mode_ == Mode::Aborted) return status | kDq1 | (~lastLoaded_ & kDq7);
    if (op_ == Op::Erase) {
        status |= kDq3;
        if (toggle_ && word * 2 / kSectorSize == opSector_) status |= kDq2;
    } else {
        status |= ~opData_ & kDq7;
    }
    if (pastLimit(now)) status |= kDq5;
    return status;
}

uint16_t NorChip::readWord(uint32_t offset, uint64_t now) {
    uint32_t word = offset / 2;
    switch (mode_) {
        case Mode::Busy:
        case Mode::Aborted:
            return statusWord(word, now);
        case Mode::Cfi:
        case Mode::Autoselect: {
            uint32_t index = word & kCommandMask;
            if (mode_ == Mode::Autoselect && index > 0x0F) return 0;
            return index < cfi_.size() ? cfi_[index] : 0;
        }
        default:
            return arrayWord(offset & ~1u);
    }
}

bool NorChip::read(uint32_t offset, int width, uint32_t* value) {
    if (offset >= kSize || offset % uint32_t(width) != 0) return false;
    uint32_t result = 0;
    for (uint32_t at = offset & ~1u; at < offset + uint32_t(width); at += 2) {
        uint64_t now = tick();
        uint16_t word = readWord(at, now);
        traceCycle(false, at, word);
        result = result << 16 | word;
    }
    if (width == 1) result = (offset & 1) ? result & 0xFF : result >> 8;
    *value = result;
    return true;
}

bool NorChip::write(uint32_t offset, int width, uint32_t value) {
    if (width != 2 || offset >= kSize || offset % 2 != 0) return false;
    tick();
    traceCycle(true, offset, uint16_t(value));
    command(offset / 2, uint16_t(value));
    return true;
}

void NorChip::command(uint32_t word, uint16_t value) {
    uint32_t at = word & kCommandMask;
    uint8_t code = uint8_t(value);
    uint32_t sector = word * 2 / kSectorSize;
    switch (mode_) {
        case Mode::Busy:
            // Only a reset after a failed operation has timed out is heard.
            if (code == 0xF0 && pastLimit(nowNs())) mode_ = Mode::Read;
            return;
        case Mode::Aborted:
            // The write-buffer abort reset: AA, 55, F0.
            if (unlock_ == 2 && code == 0xF0) {
                mode_ = Mode::Read;
                unlock_ = 0;
            } else if (unlock_ == 0 && at == kUnlock1 && code == 0xAA) {
                unlock_ = 1;
            } else {
                unlock_ = unlock_ == 1 && at == kUnlock2 && code == 0x55 ? 2 : 0;
            }
            return;
        case Mode::WordProgram:
            pending_.assign(1, Pending{word, value});
            startOperation(Op::Program, sector, value);
            return;
        case Mode::BufferCount:
            if (value >= kBufferWords || sector != bufferSector_) return abortBuffer();
            bufferLeft_ = value + 1;
            bufferStarted_ = false;
            pending_.clear();
            mode_ = Mode::BufferData;
            return;
        case Mode::BufferData:
            if (!bufferStarted_) {
                bufferPage_ = word / kBufferWords;
                bufferStarted_ = true;
            }
            if (word / kBufferWords != bufferPage_ || sector != bufferSector_) return abortBuffer();
            pending_.push_back(Pending{word, value});
            lastLoaded_ = value;
            if (--bufferLeft_ == 0) mode_ = Mode::BufferConfirm;
            return;
        case Mode::BufferConfirm:
            if (code != 0x29 || sector != bufferSector_) return abortBuffer();
            startOperation(Op::Program, sector, lastLoaded_);
            return;
        default:
            break;
    }
    // Read, query and autoselect modes.
    if (code == 0xF0) {
        mode_ = Mode::Read;
        unlock_ = 0;
        eraseArmed_ = false;
        return;
    }
    if (mode_ == Mode::Cfi) return;
    if (at == kCfiQuery && code == 0x98) {
        mode_ = Mode::Cfi;
        unlock_ = 0;
        return;
    }
    if (unlock_ == 0) {
        unlock_ = at == kUnlock1 && code == 0xAA ? 1 : 0;
        return;
    }
    if (unlock_ == 1) {
        unlock_ = at == kUnlock2 && code == 0x55 ? 2 : 0;
        if (unlock_ == 0) eraseArmed_ = false;
        return;
    }
    unlock_ = 0;
    if (eraseArmed_) {
        eraseArmed_ = false;
        if (code == 0x30) startOperation(Op::Erase, sector, 0);
        return;
    }
    if (at == kUnlock1 && code == 0xA0) {
        mode_ = Mode::WordProgram;
    } else if (code == 0x25) {
        bufferSector_ = sector;
        mode_ = Mode::BufferCount;
    } else if (at == kUnlock1 && code == 0x80) {
        eraseArmed_ = true;
    } else if (at == kUnlock1 && code == 0x90) {
        mode_ = Mode::Autoselect;
    }
}

void NorChip::abortBuffer() {
    pending_.clear();
    mode_ = Mode::Aborted;
    unlock_ = 0;
}

void NorChip::startOperation(Op op, uint32_t sector, uint16_t lastData) {
    // Typical and maximum times from the query table: 2^n us for a program,
    // 2^n ms for a sector erase, the maximum 2^m times the typical.
    bool buffer = op == Op::Program && mode_ == Mode::BufferConfirm;
    uint32_t typical = op == Op::Erase ? 0x21 : buffer ? 0x20 : 0x1F;
    uint64_t typicalNs = (uint64_t(1) << cfi_[typical]) * (op == Op::Erase ? 1000000 : 1000);
    int& failures = op == Op::Erase ? failErases_ : failPrograms_;
    opFails_ = failures > 0;
    if (opFails_) --failures;
    op_ = op;
    opSector_ = sector;
    opData_ = lastData;
    opStartNs_ = nowNs();
    opDoneNs_ = opStartNs_ + typicalNs;
    opLimitNs_ = opStartNs_ + (typicalNs << cfi_[typical + 4]);
    dueAt(opFails_ ? kNever : opDoneNs_);
    mode_ = Mode::Busy;
}

void NorChip::finishOperation() {
    mode_ = Mode::Read;
    if (op_ == Op::Erase) {
        eraseRange(opSector_ * kSectorSize, kSectorSize);
        ++erases_[opSector_];
        persist(opSector_ * kSectorSize, kSectorSize);
        return;
    }
    for (const auto& p : pending_) programWord(p.word * 2, p.value);
    if (!pending_.empty()) {
        auto [lo, hi] = std::minmax_element(pending_.begin(), pending_.end(),
                                            [](auto& a, auto& b) { return a.word < b.word; });
        persist(lo->word * 2, (hi->word - lo->word + 1) * 2);
    }
    pending_.clear();
}

void NorChip::losePower() {
    if (mode_ == Mode::Busy && !opFails_) {
        // Cut short, the operation leaves cells anywhere between before and after.
        seedNoise();
        if (op_ == Op::Erase) {
            scrambleErase(opSector_ * kSectorSize, kSectorSize);
            persist(opSector_ * kSectorSize, kSectorSize);
        } else {
            for (auto& p : pending_) p.value = scrambled(p.value);
            finishOperation();
        }
    }
    mode_ = Mode::Read;
    unlock_ = 0;
    eraseArmed_ = false;
    pending_.clear();
    powerLost();
}
