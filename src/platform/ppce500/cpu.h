// The e500 core's registers: special-purpose register access, the processor
// state the hand-off to a loaded image changes, caches, and the call of an
// absolute address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ppce {

namespace spr {
constexpr unsigned kDear = 61, kEsr = 62, kIvpr = 63, kSrr0 = 26, kSrr1 = 27;
constexpr unsigned kCsrr0 = 58, kCsrr1 = 59, kMcsrr0 = 570, kMcsrr1 = 571;
constexpr unsigned kMcsr = 572, kMcar = 573;
constexpr unsigned kDec = 22, kDecar = 54, kTsr = 336, kTcr = 340;
constexpr unsigned kTbl = 268, kTbu = 269;
constexpr unsigned kIvor0 = 400, kIvor32 = 528;
constexpr unsigned kMas0 = 624, kMas1 = 625, kMas2 = 626, kMas3 = 627, kMas7 = 944;
constexpr unsigned kHid0 = 1008, kHid1 = 1009, kL1csr0 = 1010, kL1csr1 = 1011;
constexpr unsigned kPvr = 287, kSvr = 1023, kPir = 286;
constexpr unsigned kL1cfg0 = 515, kL1cfg1 = 516;

template <unsigned N>
inline uint32_t get() {
    uint32_t v;
    __asm__ volatile("mfspr %0, %1" : "=r"(v) : "i"(N));
    return v;
}
template <unsigned N>
inline void set(uint32_t v) {
    __asm__ volatile("mtspr %0, %1" : : "i"(N), "r"(v) : "memory");
}
}  // namespace spr

// Machine state register bits.
constexpr uint32_t kMsrWe = 0x00040000u;  // wait enable: the core dozes
constexpr uint32_t kMsrCe = 0x00020000u;
constexpr uint32_t kMsrEe = 0x00008000u;
constexpr uint32_t kMsrMe = 0x00001000u;
constexpr uint32_t kHid0Doze = 0x00800000u;
constexpr uint32_t kHid0Tben = 0x00004000u;  // time base enable

uint32_t msrGet();
void msrSet(uint32_t value);  // followed by isync
uint32_t hid0Get();
void hid0Set(uint32_t value);  // msync before, isync after
// L1 cache control: 0 is the data cache, 1 the instruction cache.
uint32_t l1csr0Get();
void l1csr0Set(uint32_t value);  // msync; isync before, isync after
uint32_t l1csr1Get();
void l1csr1Set(uint32_t value);  // isync after
// Writes [p, p+len) back from the data cache to memory and drops stale
// instructions of that range (dcbf, sync, icbi, sync, isync): needed after
// code was written as data, before it runs.
void cacheFlushRange(const void* p, size_t len);
// Calls the routine at an absolute address with one integer argument; it
// returns that routine's result if it ever comes back. A hand-off to a loaded
// image calls mpicReset() first, so the idle tick does not follow it there.
int callAbsolute(uint32_t address, int argument);

// The 64-bit time base (upper half read twice so a carry between the halves
// is never seen).
inline uint64_t timeBase() {
    uint32_t hi, lo, hi2;
    do {
        hi = spr::get<spr::kTbu>();
        lo = spr::get<spr::kTbl>();
        hi2 = spr::get<spr::kTbu>();
    } while (hi != hi2);
    return (uint64_t(hi) << 32) | lo;
}

}  // namespace ppce
