// Bus cycles on the host: the installed board's address map.
#include "platform/bus.h"

#include <cstring>

#include "platform/host/address_map.h"
#include "platform/host/board.h"

namespace plat {

bool busRead8(uint32_t addr, uint8_t* value) {
    return board().map().read8(addr, value);
}
bool busRead16(uint32_t addr, uint16_t* value) {
    return board().map().read16(addr, value);
}
bool busRead32(uint32_t addr, uint32_t* value) {
    return board().map().read32(addr, value);
}
bool busWrite8(uint32_t addr, uint8_t value) {
    return board().map().write8(addr, value);
}
bool busWrite16(uint32_t addr, uint16_t value) {
    return board().map().write16(addr, value);
}
bool busWrite32(uint32_t addr, uint32_t value) {
    return board().map().write32(addr, value);
}
uint8_t* busMemory(uint32_t addr, uint32_t len) {
    return board().map().memory(addr, len);
}

bool busReadBlock(uint32_t addr, void* dst, size_t len) {
    auto* out = static_cast<uint8_t*>(dst);
    if (len == 0) return true;
    if (len <= 0xFFFFFFFFu - addr) {
        if (const uint8_t* plain = busMemory(addr, uint32_t(len))) {
            std::memcpy(out, plain, len);
            return true;
        }
        if (board().map().readBlock(addr, dst, uint32_t(len))) return true;
    }
    size_t i = 0;
    if (addr & 1) {
        if (!busRead8(addr, out)) return false;
        i = 1;
    }
    for (; i + 2 <= len; i += 2) {
        uint16_t w;
        if (!busRead16(addr + uint32_t(i), &w)) return false;
        out[i] = uint8_t(w >> 8);
        out[i + 1] = uint8_t(w);
    }
    if (i < len && !busRead8(addr + uint32_t(i), out + i)) return false;
    return true;
}

}  // namespace plat
