#include "fs/block_device.h"

#include <cerrno>
#include <cstring>

#include "fs/bytes.h"

namespace fs {

uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc) {
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

int RamDisk::read(uint32_t first, uint32_t count, uint8_t* buffer) {
    if (!inside(first, count)) return -EINVAL;
    std::memcpy(buffer, bytes_.data() + size_t(first) * kSectorSize, size_t(count) * kSectorSize);
    return 0;
}

int RamDisk::write(uint32_t first, uint32_t count, const uint8_t* buffer) {
    if (!inside(first, count)) return -EINVAL;
    std::memcpy(bytes_.data() + size_t(first) * kSectorSize, buffer, size_t(count) * kSectorSize);
    return 0;
}

int RamDisk::discard(uint32_t first, uint32_t count) {
    if (!inside(first, count)) return -EINVAL;
    std::memset(bytes_.data() + size_t(first) * kSectorSize, 0, size_t(count) * kSectorSize);
    return 0;
}

}  // namespace fs
