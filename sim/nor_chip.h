// The board's NOR flash chip: 32 MiB on a 16-bit bus, 256 uniform sectors of
// 128 KiB, a 64-byte write buffer and the AMD command set, answering the bus
// cycles of its window as the real part does. Its contents persist in the
// board folder as norflash.bin: the chip's bytes in address order (the board
// is big-endian, so a word's high byte comes first). The file holds the chip
// up to the highest byte ever written; whatever lies beyond its end is
// erased (0xFF), so a fresh board's chip is blank.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/host/address_map.h"
#include "platform/host/board_file.h"

namespace plat {
class Clock;
}

class NorChip : public plat::BusDevice {
  public:
    static constexpr uint32_t kSize = 32u << 20;
    static constexpr uint32_t kSectorSize = 128u << 10;
    static constexpr uint32_t kSectorCount = kSize / kSectorSize;
    static constexpr uint32_t kBufferBytes = 64;

    NorChip(plat::Clock& clock, std::string filePath);
    // An operation whose time has passed is in the cells even when no bus
    // cycle came after it before the power went.
    ~NorChip() override;

    // Bus cycles at offsets into the chip. Commands and status are 16-bit
    // cycles; array data also answers 8- and 32-bit reads.
    bool read(uint32_t offset, int width, uint32_t* value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    // --- Test controls -----------------------------------------------------------
    enum class Op { Program, Erase };
    // The next `times` operations of that kind never finish: past the
    // operation's time limit the status shows DQ5, and the data stays unchanged.
    void failNext(Op op, int times = 1);
    // Bits of `mask` in the words of [offset, offset+length) read as 1 (high)
    // or 0 whatever is stored.
    void stuckBits(uint32_t offset, uint32_t length, uint16_t mask, bool high);
    // The board loses power on the n-th bus cycle from now (0: never): an
    // operation in progress leaves arbitrary (reproducible) bits in what it was
    // changing, and BoardStop{PowerLoss} is thrown.
    void cutPowerAfter(uint64_t cycles);
    void patchCfi(uint32_t word, uint16_t value) { cfi_.at(word) = value; }
    // Time one bus cycle takes, with the wait states and the loop around it.
    void setBusCycleNs(uint32_t ns) { cycleNs_ = ns; }
    uint32_t erases(uint32_t sector) const { return erases_.at(sector); }
    uint64_t busCycles() const { return cycles_; }
    // Reads answered with status while an operation runs or after an abort.
    uint64_t statusReads() const { return statusReads_; }
    struct Cycle {
        bool write;
        uint32_t offset;
        uint16_t value;
    };
    void traceCycles(bool on) {
        tracing_ = on;
        trace_.clear();
    }
    const std::vector<Cycle>& trace() const { return trace_; }

  private:
    enum class Mode {
        Read,
        Cfi,
        Autoselect,
        WordProgram,
        BufferCount,
        BufferData,
        BufferConfirm,
        Busy,
        Aborted
    };
    struct Pending {
        uint32_t word;
        uint16_t value;
    };

    uint64_t tick();  // one bus cycle: time, counters, power cut
    uint16_t readWord(uint32_t offset, uint64_t now);
    uint16_t arrayWord(uint32_t word);
    uint16_t statusWord(uint32_t word, uint64_t now);
    void command(uint32_t word, uint16_t value);
    void startOperation(Op op, uint32_t sector, uint16_t lastData);
    void abortBuffer();
    void finishOperation();
    void losePower();
    uint8_t* sectorBytes(uint32_t sector);
    void persist(uint32_t offset, uint32_t length);
    bool pastLimit(uint64_t now) const;

    plat::Clock& clock_;
    plat::BoardFile file_;
    uint64_t fileSize_;
    std::array<std::unique_ptr<uint8_t[]>, kSectorCount> sectors_;
    std::array<uint16_t, 0x80> cfi_{};

    Mode mode_ = Mode::Read;
    int unlock_ = 0;  // unlock cycles seen: 0, 1 (AA at 0x555), 2 (55 at 0x2AA)
    bool eraseArmed_ = false;
    // Write buffer load.
    uint32_t bufferSector_ = 0;
    uint32_t bufferPage_ = 0;
    int bufferLeft_ = 0;
    bool bufferStarted_ = false;
    uint16_t lastLoaded_ = 0;
    std::vector<Pending> pending_;
    // The running operation.
    Op op_ = Op::Program;
    uint32_t opSector_ = 0;
    uint16_t opData_ = 0;
    bool opFails_ = false;
    uint64_t opStartNs_ = 0, opDoneNs_ = 0, opLimitNs_ = 0;
    bool toggle_ = false;

    uint32_t cycleNs_ = 1000;
    uint64_t chipNs_ = 0;
    uint64_t cycles_ = 0;
    uint64_t statusReads_ = 0;
    uint64_t cutAt_ = 0;
    int failPrograms_ = 0, failErases_ = 0;
    std::array<uint32_t, kSectorCount> erases_{};
    struct Stuck {
        uint32_t first, last;
        uint16_t mask;
        bool high;
    };
    std::vector<Stuck> stuck_;
    bool tracing_ = false;
    std::vector<Cycle> trace_;
    std::mt19937 noise_{0x5EED};
};
