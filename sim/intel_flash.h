// The flash of QEMU's ppce500 board on the host: a CFI flash with the Intel
// command set, 32 MiB on a 16-bit bus in 512 blocks of 64 KiB with a 2 KiB
// write buffer, answering its query as QEMU's device does. Unlike QEMU's
// device, operations take their typical time from the query table on the
// board's clock and programming only clears bits, as on a real part.
//   FF read array (also F0 and 00)   70 read status   50 clear status
//   90 read identifier   98 query (only FF leaves it)
//   40/10 then data: word program    E8, count - 1, data, D0: buffered program
//   20 then D0: block erase
// Status register: bit 7 ready, bit 5 erase error, bit 4 program error (both
// for a sequence error). While a command runs, after it, and between its
// set-up and confirm cycles, reads give the status until a read-array command.
// The whole chip is kept in norflash.bin (QEMU takes only a file of the
// chip's full size), in address order, words big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/flash_model.h"

namespace sim {

class IntelFlash : public FlashModel {
  public:
    static constexpr uint32_t kSize = 32u << 20;
    static constexpr uint32_t kBlockSize = 64u << 10;
    static constexpr uint32_t kBlockCount = kSize / kBlockSize;
    static constexpr uint32_t kBufferBytes = 2048;
    static constexpr uint16_t kReady = 0x80, kEraseError = 0x20, kProgramError = 0x10;

    IntelFlash(plat::Clock& clock, std::string filePath);
    // An operation whose time has passed is in the cells.
    ~IntelFlash() override;

    // 16-bit cycles for commands and status; array data answers any width.
    bool read(uint32_t offset, int width, uint32_t* value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    // --- Test controls (and those of FlashModel) ------------------------------------
    enum class Op { Program, Erase };
    // The next `times` operations of that kind end with their error bit set
    // and the cells unchanged.
    void failNext(Op op, int times = 1);
    // The next operation of that kind never ends.
    void stallNext(Op op);
    uint32_t erases(uint32_t block) const { return erases_.at(block); }

  private:
    enum class Mode {
        Array,
        Status,
        Query,
        Identifier,
        ProgramData,  // after 40/10: the next cycle is the data
        BufferCount,  // after E8
        BufferData,
        BufferConfirm,
        EraseConfirm,  // after 20
        Busy
    };
    struct Pending {
        uint32_t offset;
        uint16_t value;
    };

    void finishDue(uint64_t nowNs) override;
    void losePower() override;
    bool inArrayMode() const override { return mode_ == Mode::Array; }
    uint16_t readWord(uint32_t offset);
    void command(uint32_t offset, uint16_t value);
    void idleCommand(uint32_t offset, uint8_t code);
    void start(Op op, uint32_t offset);
    void sequenceError();
    void finish();

    std::array<uint16_t, 0x80> cfi_{};
    Mode mode_ = Mode::Array;
    uint16_t status_ = kReady;
    std::vector<Pending> pending_;
    uint32_t bufferBase_ = 0;
    uint32_t bufferLeft_ = 0;
    Op op_ = Op::Program;
    uint32_t opBlock_ = 0;
    uint64_t opDoneNs_ = 0;
    bool opFails_ = false, opStalls_ = false;
    int failPrograms_ = 0, failErases_ = 0;
    bool stallProgram_ = false, stallErase_ = false;
    std::array<uint32_t, kBlockCount> erases_{};
};

}  // namespace sim
