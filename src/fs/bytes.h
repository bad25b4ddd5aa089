// Explicit byte-order helpers for the on-flash and on-disk formats: the
// translation layer's records are big-endian, FAT's are little-endian by its
// own definition. Nothing here depends on the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fs {

inline uint16_t getLe16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t getLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void putLe16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putLe32(uint8_t* p, uint32_t v) {
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
}

inline uint16_t getBe16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
inline uint32_t getBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void putBe16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void putBe32(uint8_t* p, uint32_t v) {
    putBe16(p, v >> 16);
    putBe16(p + 2, v);
}

// CRC-32 (the reflected 0xEDB88320 polynomial, initial and final value all
// ones): check value 0xCBF43926 for "123456789".
uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc = 0);

}  // namespace fs
