// The seam between the FAT file system and what keeps its sectors: a device
// of 512-byte sectors numbered from 0. The flash translation layer and the
// RAM disk implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fs {

constexpr uint32_t kSectorSize = 512;

class BlockDevice {
  public:
    virtual ~BlockDevice() = default;
    virtual uint32_t sectorCount() const = 0;
    // 0, or a negated errno value (-EIO, -EINVAL, -ENOSPC, -EROFS).
    virtual int read(uint32_t first, uint32_t count, uint8_t* buffer) = 0;
    // Each sector is on the medium, whole, when the call returns.
    virtual int write(uint32_t first, uint32_t count, const uint8_t* buffer) = 0;
    // The sectors' contents are no longer needed: they read as zeros from
    // now on, and a device may reuse their room.
    virtual int discard(uint32_t first, uint32_t count) = 0;
};

// Sectors in RAM, all zeros at the start.
class RamDisk : public BlockDevice {
  public:
    explicit RamDisk(uint32_t sectors) : bytes_(size_t(sectors) * kSectorSize) {}
    uint32_t sectorCount() const override { return uint32_t(bytes_.size() / kSectorSize); }
    int read(uint32_t first, uint32_t count, uint8_t* buffer) override;
    int write(uint32_t first, uint32_t count, const uint8_t* buffer) override;
    int discard(uint32_t first, uint32_t count) override;
    std::vector<uint8_t>& bytes() { return bytes_; }

  private:
    bool inside(uint32_t first, uint32_t count) const {
        return uint64_t(first) + count <= sectorCount();
    }
    std::vector<uint8_t> bytes_;
};

}  // namespace fs
