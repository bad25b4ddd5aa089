// Bus cycles on the board: real loads and stores of the given width, within
// the windows the TLB maps (SDRAM, CCSR, the flash). Anything else is
// refused as a bus error instead of being tried: the core would stop on it.
#include "platform/bus.h"

#include "platform/ppce500/memory_map.h"

namespace plat {

namespace {

using ppce::boardInfo;

bool inWindow(uint32_t addr, uint32_t width) {
    uint64_t end = uint64_t(addr) + width;
    if (end <= boardInfo().sdramSize) return true;
    if (addr >= ppce::kCcsrBase && end <= uint64_t(ppce::kCcsrBase) + ppce::kCcsrSize) return true;
    return addr >= ppce::kFlashBase && end <= uint64_t(ppce::kFlashBase) + ppce::kFlashSize;
}

// Device registers take only naturally aligned cycles; the core would raise
// an alignment interrupt on a cache-inhibited page otherwise.
template <typename T>
bool read(uint32_t addr, T* value) {
    if (addr % sizeof(T) != 0 || !inWindow(addr, sizeof(T))) return false;
    *value = *reinterpret_cast<volatile const T*>(uintptr_t(addr));
    return true;
}

template <typename T>
bool write(uint32_t addr, T value) {
    if (addr % sizeof(T) != 0 || !inWindow(addr, sizeof(T))) return false;
    *reinterpret_cast<volatile T*>(uintptr_t(addr)) = value;
    __asm__ volatile("mbar" : : : "memory");
    return true;
}

}  // namespace

bool busRead8(uint32_t addr, uint8_t* value) {
    return read(addr, value);
}
bool busRead16(uint32_t addr, uint16_t* value) {
    return read(addr, value);
}
bool busRead32(uint32_t addr, uint32_t* value) {
    return read(addr, value);
}
bool busWrite8(uint32_t addr, uint8_t value) {
    return write(addr, value);
}
bool busWrite16(uint32_t addr, uint16_t value) {
    return write(addr, value);
}
bool busWrite32(uint32_t addr, uint32_t value) {
    return write(addr, value);
}

// SDRAM is plain memory at its own address; address 0 itself can only be
// reached by cycles, since its pointer would read as "not plain memory".
uint8_t* busMemory(uint32_t addr, uint32_t len) {
    uint64_t end = uint64_t(addr) + len;
    if (end > boardInfo().sdramSize) return nullptr;
    return reinterpret_cast<uint8_t*>(uintptr_t(addr));
}

bool busReadBlock(uint32_t addr, void* dst, size_t len) {
    auto* out = static_cast<uint8_t*>(dst);
    if (len == 0) return true;
    if (uint64_t(addr) + len > 0x100000000ull) return false;
    if (const uint8_t* plain = busMemory(addr, uint32_t(len))) {
        for (size_t i = 0; i < len; ++i) out[i] = plain[i];
        return true;
    }
    // Device windows (the flash) take aligned cycles of their own width.
    size_t i = 0;
    for (; i < len && (addr + i) % 4 != 0; ++i)
        if (!read(uint32_t(addr + i), &out[i])) return false;
    for (; i + 4 <= len; i += 4) {
        uint32_t word;
        if (!read(uint32_t(addr + i), &word)) return false;
        out[i] = uint8_t(word >> 24);
        out[i + 1] = uint8_t(word >> 16);
        out[i + 2] = uint8_t(word >> 8);
        out[i + 3] = uint8_t(word);
    }
    for (; i < len; ++i)
        if (!read(uint32_t(addr + i), &out[i])) return false;
    return true;
}

}  // namespace plat
