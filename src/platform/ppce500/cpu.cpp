#include "platform/ppce500/cpu.h"

namespace ppce {

namespace {
constexpr uintptr_t kCacheLine = 32;  // e500 L1 line size
}

uint32_t msrGet() {
    uint32_t v;
    __asm__ volatile("mfmsr %0" : "=r"(v));
    return v;
}

void msrSet(uint32_t value) {
    __asm__ volatile("mtmsr %0; isync" : : "r"(value) : "memory");
}

uint32_t hid0Get() {
    return spr::get<spr::kHid0>();
}

void hid0Set(uint32_t value) {
    __asm__ volatile("msync; mtspr %0, %1; isync" : : "i"(spr::kHid0), "r"(value) : "memory");
}

uint32_t l1csr0Get() {
    return spr::get<spr::kL1csr0>();
}

void l1csr0Set(uint32_t value) {
    __asm__ volatile("msync; isync; mtspr %0, %1; isync"
                     :
                     : "i"(spr::kL1csr0), "r"(value)
                     : "memory");
}

uint32_t l1csr1Get() {
    return spr::get<spr::kL1csr1>();
}

void l1csr1Set(uint32_t value) {
    __asm__ volatile("mtspr %0, %1; isync" : : "i"(spr::kL1csr1), "r"(value) : "memory");
}

void cacheFlushRange(const void* p, size_t len) {
    if (len == 0) return;
    uintptr_t first = reinterpret_cast<uintptr_t>(p) & ~(kCacheLine - 1);
    uintptr_t last = reinterpret_cast<uintptr_t>(p) + len - 1;
    for (uintptr_t a = first; a <= last && a >= first; a += kCacheLine)
        __asm__ volatile("dcbf 0, %0" : : "r"(a) : "memory");
    __asm__ volatile("msync" : : : "memory");
    for (uintptr_t a = first; a <= last && a >= first; a += kCacheLine)
        __asm__ volatile("icbi 0, %0" : : "r"(a) : "memory");
    __asm__ volatile("msync; isync" : : : "memory");
}

int callAbsolute(uint32_t address, int argument) {
    auto* entry = reinterpret_cast<int (*)(int)>(uintptr_t(address));
    return entry(argument);
}

}  // namespace ppce
