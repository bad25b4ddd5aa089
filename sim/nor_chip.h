// The board's NOR flash chip: 32 MiB on a 16-bit bus, 256 uniform sectors of
// 128 KiB, a 64-byte write buffer and the AMD command set, answering the bus
// cycles of its window as the real part does. Its contents persist in the
// board folder as norflash.bin (sim/flash_model.h). The file holds the chip
// up to the highest byte ever written; whatever lies beyond its end is
// erased (0xFF), so a fresh board's chip is blank.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/flash_model.h"

class NorChip : public sim::FlashModel {
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

    // --- Test controls (and those of sim::FlashModel) -----------------------------
    enum class Op { Program, Erase };
    // The next `times` operations of that kind never finish: past the
    // operation's time limit the status shows DQ5, and the data stays unchanged.
    void failNext(Op op, int times = 1);
    void patchCfi(uint32_t word, uint16_t value) { cfi_.at(word) = value; }
    uint32_t erases(uint32_t sector) const { return erases_.at(sector); }

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

    void finishDue(uint64_t nowNs) override;
    void losePower() override;
    bool inArrayMode() const override { return mode_ == Mode::Read; }
    uint16_t readWord(uint32_t offset, uint64_t now);
    uint16_t statusWord(uint32_t word, uint64_t now);
    void command(uint32_t word, uint16_t value);
    void startOperation(Op op, uint32_t sector, uint16_t lastData);
    void abortBuffer();
    void finishOperation();
    bool pastLimit(uint64_t now) const;

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

    int failPrograms_ = 0, failErases_ = 0;
    std::array<uint32_t, kSectorCount> erases_{};
};
