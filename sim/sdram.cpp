#include "sim/sdram.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

#include "platform/host/board.h"

namespace sim {

Sdram::Sdram() {
    void* p = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        std::fprintf(stderr, "stkboot: cannot reserve the simulated SDRAM\n");
        std::abort();
    }
    base_ = static_cast<uint8_t*>(p);
}

Sdram::~Sdram() {
    ::munmap(base_, kSize);
}

uint8_t* Sdram::at(uint64_t addr, uint64_t len) {
    if (addr > kSize || len > kSize - addr) return nullptr;
    return base_ + addr;
}

bool Sdram::read(uint32_t offset, int width, uint32_t* value) {
    offset &= ~aliasMask_;
    const uint8_t* p = at(offset, uint64_t(width));
    if (!p) return false;
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
        uint8_t byte = p[i];
        for (const Stuck& s : stuck_)
            if (s.addr == offset + uint32_t(i))
                byte = uint8_t(s.high ? byte | s.mask : byte & ~s.mask);
        v = (v << 8) | byte;
    }
    *value = v;
    return true;
}

bool Sdram::write(uint32_t offset, int width, uint32_t value) {
    offset &= ~aliasMask_;
    uint8_t* p = at(offset, uint64_t(width));
    if (!p) return false;
    for (int i = width - 1; i >= 0; --i, value >>= 8) p[i] = uint8_t(value);
    return true;
}

Sdram& sdram() {
    return *plat::board().map().find<Sdram>();
}

}  // namespace sim
