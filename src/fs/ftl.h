// The flash translation layer: 512-byte logical sectors kept on the erase
// units of a NOR flash, reached only through the memory technology driver's
// map (reads with bus cycles), write and erase routines.
//
// On-flash format (every field big-endian). The flash disk is a row of N
// erase units of U bytes. Each unit holds, from its start:
//   [0, 64)          unit header
//   [64, 64+2S)      allocation map: one 16-bit state per data slot
//   [64+2S, 64+8S)   tags: per slot the logical sector number (32 bits) and
//                    the copy's version count (16 bits)
//   [512K, U)        S data slots of 512 bytes (K header sectors, the fewest
//                    that hold header, map and tags)
// Unit header:
//    0 magic "STKF"        4 format version 1 (16)   6 header bytes 64 (16)
//    8 unit size           12 unit count            16 data units
//   20 logical sectors     24 erase count           28 CRC-32 of bytes 0-27
//   32 copy mark (16): FFFF, 0000 once a reclaim copies sectors into the unit
//   34 commit    (16): FFFF, 0000 once the unit stands for its logical unit
//   36 logical unit number 40 sequence number       44 CRC-32 of 0-27, 36-43
//   48-63 FFFF
// A spare unit has the first half only (copy mark, commit and the rest
// erased). A unit stands for logical unit n when it is committed with n and
// both CRCs hold; of two such units the higher sequence number wins.
// Slot states move only by clearing bits: FFFF free, 7FFF being written,
// 3FFF valid, 0000 deleted (anything else counts as deleted). A write marks
// its slots being written, programs the data, then the tags, then marks them
// valid and only then deletes the old copies; of two valid copies of one
// sector the mount keeps the newer version and deletes the other.
// A sector never written, discarded, or written as all zeros has no valid
// copy and reads as zeros.
// A reclaim copies the valid slots of the unit with the most deleted slots
// into the spare, commits the spare under the unit's logical number with the
// next sequence number, erases the old unit and makes it the spare.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/block_device.h"
#include "platform/tffs.h"

namespace fs {

// Status of a medium that holds no translation layer of this format.
constexpr int flBadFormat = 13;

class Ftl : public BlockDevice {
  public:
    explicit Ftl(const plat::FLFlash& flash);

    // Reads every unit's header and map, finishes or undoes an interrupted
    // reclaim and drops stale copies. 0; -ENODEV when the flash holds no
    // complete translation layer; -EINVAL for an unusable geometry.
    int mount();
    // Erases the flash and lays out empty units: `params.percentUse` of the
    // data slots become logical sectors, `params.noOfSpareUnits` units stay
    // spare. progress (may be null) gets rising percentages up to lastPercent.
    // The layer is mounted afterwards. 0 or a negated errno value.
    int format(const plat::TffsFormatParams& params, int lastPercent);
    // Logical sectors a format with these parameters gives (0: it would fail).
    uint32_t formatSectors(const plat::TffsFormatParams& params);

    uint32_t sectorCount() const override { return logical_; }
    int read(uint32_t first, uint32_t count, uint8_t* buffer) override;
    int write(uint32_t first, uint32_t count, const uint8_t* buffer) override;
    int discard(uint32_t first, uint32_t count) override;

    // What the last mount repaired, as short phrases ("1 flash unit
    // recovered"); empty when nothing.
    const std::vector<std::string>& repairs() const { return repairs_; }
    std::vector<uint32_t> eraseCounts() const;
    uint32_t unitSize() const { return unitSize_; }
    uint32_t slotsPerUnit() const { return slots_; }
    uint64_t reclaims() const { return reclaims_; }

  private:
    enum class Kind : uint8_t { Data, Spare, Dirty, Bad };
    struct Unit {
        Kind kind = Kind::Dirty;
        uint32_t lun = 0, seq = 0, erases = 0;
        bool erasesKnown = false;
        uint32_t used = 0;   // slots from the start no longer free
        uint32_t valid = 0;  // valid slots
    };
    struct Header;
    static constexpr uint32_t kNowhere = 0xFFFFFFFF;

    int setGeometry();
    int planFormat(const plat::TffsFormatParams& params);
    uint32_t unitBase(uint32_t u) const { return u * unitSize_; }
    uint32_t stateAddr(uint32_t u, uint32_t slot) const { return unitBase(u) + 64 + 2 * slot; }
    uint32_t tagAddr(uint32_t u, uint32_t slot) const {
        return unitBase(u) + 64 + 2 * slots_ + 6 * slot;
    }
    uint32_t slotAddr(uint32_t u, uint32_t slot) const {
        return unitBase(u) + (headerSectors_ + slot) * kSectorSize;
    }
    int readFlash(uint32_t addr, void* buffer, uint32_t length);
    int program(uint32_t addr, const void* data, uint32_t length);
    int programRun(uint32_t addr, const uint8_t* data, uint32_t length);
    int programWords(uint32_t addr, uint16_t value, uint32_t count);
    int eraseUnit(uint32_t u);
    bool readHeader(uint32_t u, Header* h);
    std::vector<uint8_t> encodeHeader(uint32_t erases, bool committed, uint32_t lun,
                                      uint32_t seq) const;
    int makeSpare(uint32_t u);
    uint32_t estimatedErases() const;
    int readMap(uint32_t u, std::vector<uint16_t>* states, std::vector<uint8_t>* tags);
    int scanUnit(uint32_t u, std::vector<uint32_t>* stale);

    int writeRun(uint32_t lsn, uint32_t count, const uint8_t* data);
    long programBatch(uint32_t u, uint32_t lsn, uint32_t count, const uint8_t* data);
    int deleteCopies(std::vector<uint32_t> locations);
    int writableUnit();
    int reclaim();
    int moveUnit(uint32_t victim);
    int takeSpare();

    plat::FLFlash flash_;
    uint32_t unitSize_ = 0, units_ = 0, slots_ = 0, headerSectors_ = 0;
    uint32_t dataUnits_ = 0, logical_ = 0;
    bool mounted_ = false;
    std::vector<Unit> unit_;
    std::vector<uint32_t> map_;      // logical sector -> unit << 16 | slot, or kNowhere
    std::vector<uint16_t> version_;  // version of each sector's current copy
    uint32_t seq_ = 0;               // highest sequence number in use
    int current_ = -1;               // unit being filled
    uint64_t reclaims_ = 0;
    std::vector<std::string> repairs_;
};

}  // namespace fs
