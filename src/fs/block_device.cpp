// The RAM disk: its sectors one after the other in the board's memory; and
// the CRC-32 of the translation layer's headers.
#include "fs/block_device.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "fs/bytes.h"
#include "platform/kernel.h"

namespace fs {

uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

RamDisk::RamDisk(uint32_t sectors) {
    uint64_t bytes = uint64_t(sectors) * kSectorSize;
    if (bytes == 0 || bytes > SIZE_MAX) return;
    bytes_ = static_cast<uint8_t*>(plat::malloc(size_t(bytes)));
    if (!bytes_) return;
    sectors_ = sectors;
    std::memset(bytes_, 0, size());
}

RamDisk::~RamDisk() {
    plat::free(bytes_);
}

int RamDisk::read(uint32_t first, uint32_t count, uint8_t* buffer) {
    if (!inside(first, count)) return -EINVAL;
    std::memcpy(buffer, bytes_ + size_t(first) * kSectorSize, size_t(count) * kSectorSize);
    return 0;
}

int RamDisk::write(uint32_t first, uint32_t count, const uint8_t* buffer) {
    if (!inside(first, count)) return -EINVAL;
    std::memcpy(bytes_ + size_t(first) * kSectorSize, buffer, size_t(count) * kSectorSize);
    return 0;
}

int RamDisk::discard(uint32_t first, uint32_t count) {
    if (!inside(first, count)) return -EINVAL;
    std::memset(bytes_ + size_t(first) * kSectorSize, 0, size_t(count) * kSectorSize);
    return 0;
}

}  // namespace fs
