// What the board's flash chip models share: the cells, kept in the board
// folder's norflash.bin (the chip's bytes in address order; the board is
// big-endian, so a word's high byte comes first) and loaded a block at a
// time; the bus cycles that move the board's time on; and the test controls
// (power cut, stuck bits, a trace of the cycles). Each command set is a
// model of its own on top (nor_chip.h, intel_flash.h).
#pragma once

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

namespace sim {

class FlashModel : public plat::BusDevice {
  public:
    ~FlashModel() override;
    // Array reads of a chip in read mode, in one go: the same time and cycle
    // count as word reads, without their per-cycle work.
    bool readBlock(uint32_t offset, void* dst, uint32_t len) override;

    // --- Test controls ------------------------------------------------------------
    // Bits of `mask` in the words of [offset, offset+length) read as 1 (high)
    // or 0 whatever is stored.
    void stuckBits(uint32_t offset, uint32_t length, uint16_t mask, bool high);
    // The board loses power on the n-th bus cycle from now (0: never): an
    // operation in progress leaves arbitrary (reproducible) bits in what it was
    // changing, and BoardStop{PowerLoss} is thrown.
    void cutPowerAfter(uint64_t cycles);
    // Time one bus cycle takes, with the wait states and the loop around it.
    void setBusCycleNs(uint32_t ns) { cycleNs_ = ns; }
    uint64_t busCycles() const { return cycles_; }
    // Reads answered with status instead of array data.
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

  protected:
    // `wholeFile`: the file always holds the whole chip (as QEMU wants it);
    // else only up to the highest byte ever written, the rest being erased.
    FlashModel(plat::Clock& clock, std::string filePath, uint32_t size, bool wholeFile);

    // One bus cycle (or `n` array reads): the chip's time moves on by the
    // cycle time, and the board's virtual clock with it; a running operation
    // whose time is up ends (finishDue), and a cut power is lost (losePower).
    // Returns the chip's time in ns.
    uint64_t tick(uint64_t n = 1);
    uint64_t nowNs() const { return chipNs_; }
    // Called for a status read at `offset` while an operation runs whose
    // status next changes at `changeNs`. After a run of kPollsBeforeSkip
    // status reads at that address with no other cycle between them, the
    // processor is taken to poll until the status changes: the reads it would
    // make before the change are made at once, each counted as a bus cycle
    // and a status read with its time, without the host working through
    // them (the next read sees the change). Returns how many were made (a
    // model whose status alternates between reads keeps their parity).
    uint64_t skipPolls(uint32_t offset, uint64_t changeNs);
    // The time now, also when the clock has moved on without bus cycles.
    uint64_t clockNs() const;
    void countStatusRead() { ++statusReads_; }
    void traceCycle(bool write, uint32_t offset, uint16_t value) {
        if (tracing_) trace_.push_back(Cycle{write, offset, value});
    }
    // Lets an operation whose time has come end: called once the chip's time
    // reaches what the model last gave dueAt (never, until it does).
    virtual void finishDue(uint64_t nowNs) = 0;
    void dueAt(uint64_t ns) { dueNs_ = ns; }
    static constexpr uint64_t kNever = ~uint64_t(0);
    // The power is cut: the model leaves what it was changing half done (by
    // calling scramble*), drops its command state, and calls powerLost().
    virtual void losePower() = 0;
    // Reads give array data now.
    virtual bool inArrayMode() const = 0;

    // The stored word at byte offset `offset` (even), as read: stuck bits applied.
    uint16_t arrayWord(uint32_t offset);
    // Programming only clears bits.
    void programWord(uint32_t offset, uint16_t value);
    void eraseRange(uint32_t offset, uint32_t length);
    // A cut operation: the range is left between old and erased, a word
    // between old and the programmed value.
    void scrambleErase(uint32_t offset, uint32_t length);
    uint16_t scrambled(uint16_t value);
    void seedNoise() { noise_.seed(uint32_t(cycles_)); }
    [[noreturn]] void powerLost();
    // Writes [offset, offset+length) of the cells to the board file.
    void persist(uint32_t offset, uint32_t length);

  private:
    static constexpr uint32_t kPageSize = 64u << 10;
    uint8_t* page(uint32_t index);
    uint8_t* cell(uint32_t offset) { return page(offset / kPageSize) + offset % kPageSize; }
    bool growFileTo(uint64_t end);
    bool stuckIn(uint32_t first, uint32_t last) const;

    plat::Clock& clock_;
    bool virtualClock_;
    plat::BoardFile file_;
    uint64_t fileSize_;
    uint32_t size_;
    bool wholeFile_;
    std::vector<std::unique_ptr<uint8_t[]>> pages_;
    uint8_t* map_ = nullptr;  // the file, mapped

    uint32_t cycleNs_ = 1000;
    uint64_t chipNs_ = 0;
    uint64_t cycles_ = 0;
    uint64_t statusReads_ = 0;
    uint64_t cutAt_ = 0;
    uint64_t dueNs_ = kNever;
    static constexpr uint32_t kPollsBeforeSkip = 8;
    uint32_t pollOffset_ = 0, pollRun_ = 0;
    uint64_t pollCycle_ = 0;  // bus cycle of the last status read
    struct Stuck {
        uint32_t first, last;  // words
        uint16_t mask;
        bool high;
    };
    std::vector<Stuck> stuck_;
    bool tracing_ = false;
    std::vector<Cycle> trace_;
    std::mt19937 noise_{0x5EED};
};

}  // namespace sim
