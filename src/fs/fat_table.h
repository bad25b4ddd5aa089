// The file allocation table, kept whole in RAM as the bytes of one copy and
// written back to every copy (the first one first), sector by changed sector.
// Entries are 12 bits (FAT12, two entries in three bytes) or 16 bits (FAT16),
// little-endian; 0 is a free cluster.
#pragma once

#include <cstdint>
#include <vector>

#include "fs/block_device.h"
#include "fs/fat_format.h"

namespace fs {

class FatTable {
  public:
    void load(const FatGeometry& g, std::vector<uint8_t> bytes);
    uint32_t get(uint32_t cluster) const;
    void set(uint32_t cluster, uint32_t value);
    // Changed sectors to every copy, copy 1 first. 0 or an I/O error.
    int flush(BlockDevice& dev);
    // Every sector is written at the next flush.
    void touchAll() { dirty_.assign(dirty_.size(), 1); }
    uint32_t freeClusters() const { return free_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    size_t offsetOf(uint32_t c) const {
        return g_.type == FatType::Fat16 ? 2 * size_t(c) : c + c / 2;
    }
    void touch(size_t byte) { dirty_[byte / kSectorSize] = 1; }
    FatGeometry g_;
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> dirty_;  // per sector
    uint32_t free_ = 0;
};

}  // namespace fs
