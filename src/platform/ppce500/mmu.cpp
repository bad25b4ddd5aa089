#include "platform/ppce500/mmu.h"

#include "platform/ppce500/cpu.h"
#include "platform/ppce500/memory_map.h"

namespace ppce {

namespace {

constexpr uint32_t kMas0Tlb1 = 0x10000000u;
constexpr uint32_t kMas1Valid = 0x80000000u, kMas1Iprot = 0x40000000u;
constexpr uint32_t kMas3SupervisorRwx = 0x15u;  // SX | SW | SR
constexpr unsigned kTlb1Entries = 16;
// Entries: 0 is QEMU's start mapping (dropped), 1 CCSR, 2-3 flash, 4- SDRAM.
constexpr unsigned kEselCcsr = 1, kEselFlash = 2, kEselSdram = 4;
constexpr unsigned kTsize1M = 5, kTsize16M = 7, kTsizeMax = 10;  // 4^n KiB; 10 = 1 GiB

uint64_t pageBytes(unsigned tsize) {
    return uint64_t(1024) << (2 * tsize);
}

}  // namespace

void tlb1Write(unsigned esel, uint32_t va, uint64_t pa, unsigned tsize, uint32_t wimge) {
    spr::set<spr::kMas0>(kMas0Tlb1 | (esel & 0xF) << 16);
    spr::set<spr::kMas1>(kMas1Valid | kMas1Iprot | (tsize & 0xF) << 8);
    spr::set<spr::kMas2>((va & 0xFFFFF000u) | (wimge & 0x1F));
    spr::set<spr::kMas3>((uint32_t(pa) & 0xFFFFF000u) | kMas3SupervisorRwx);
    spr::set<spr::kMas7>(uint32_t(pa >> 32) & 0xF);
    __asm__ volatile("msync; tlbwe; isync" : : : "memory");
}

void tlb1Invalidate(unsigned esel) {
    spr::set<spr::kMas0>(kMas0Tlb1 | (esel & 0xF) << 16);
    spr::set<spr::kMas1>(0);
    spr::set<spr::kMas2>(0);
    spr::set<spr::kMas3>(0);
    spr::set<spr::kMas7>(0);
    __asm__ volatile("msync; tlbwe; isync" : : : "memory");
}

uint32_t tlb1Size(unsigned esel) {
    spr::set<spr::kMas0>(kMas0Tlb1 | (esel & 0xF) << 16);
    __asm__ volatile("tlbre; isync" : : : "memory");
    uint32_t mas1 = spr::get<spr::kMas1>();
    if (!(mas1 & kMas1Valid)) return 0;
    uint64_t bytes = pageBytes((mas1 >> 8) & 0xF);
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(bytes);
}

uint32_t mapBoard(uint32_t sdramSize, uint32_t mustCover) {
    constexpr uint32_t kRegisters = kWimgeCacheInhibited | kWimgeGuarded;
    tlb1Write(kEselCcsr, kCcsrBase, kCcsrPhys, kTsize1M, kRegisters);
    tlb1Write(kEselFlash, kFlashBase, kFlashPhys, kTsize16M, kRegisters);
    tlb1Write(kEselFlash + 1, kFlashBase + (16u << 20), kFlashPhys + (16u << 20), kTsize16M,
              kRegisters);
    // SDRAM in the largest naturally aligned pages that fit; where they
    // overlap QEMU's start entry they translate the same way, so dropping
    // that entry afterwards leaves the running code mapped.
    uint64_t size = sdramSize < kSdramMapLimit ? sdramSize : kSdramMapLimit;
    uint64_t at = 0;
    for (unsigned esel = kEselSdram; esel < kTlb1Entries; ++esel) {
        unsigned tsize = kTsizeMax;
        while (tsize > 0 && (pageBytes(tsize) > size - at || at % pageBytes(tsize) != 0)) --tsize;
        if (tsize == 0) break;
        tlb1Write(esel, uint32_t(at), at, tsize, 0);
        at += pageBytes(tsize);
    }
    if (at >= mustCover) tlb1Invalidate(0);
    return uint32_t(at);
}

}  // namespace ppce
