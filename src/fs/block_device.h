// The seam between the FAT file system and what keeps its sectors: a device
// of 512-byte sectors numbered from 0. The flash translation layer and the
// RAM disk implement it.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Sectors in RAM, all zeros at the start, kept in the board's memory.
class RamDisk : public BlockDevice {
  public:
    explicit RamDisk(uint32_t sectors);
    ~RamDisk() override;
    RamDisk(const RamDisk&) = delete;
    RamDisk& operator=(const RamDisk&) = delete;
    // false when the memory could not be had (the disk then has no sectors).
    bool ok() const { return bytes_ != nullptr; }
    uint8_t* data() { return bytes_; }
    size_t size() const { return size_t(sectors_) * kSectorSize; }

    uint32_t sectorCount() const override { return sectors_; }
    int read(uint32_t first, uint32_t count, uint8_t* buffer) override;
    int write(uint32_t first, uint32_t count, const uint8_t* buffer) override;
    int discard(uint32_t first, uint32_t count) override;

  private:
    bool inside(uint32_t first, uint32_t count) const {
        return uint64_t(first) + count <= sectors_;
    }
    uint8_t* bytes_ = nullptr;
    uint32_t sectors_ = 0;
};

}  // namespace fs
