#include "platform/host/address_map.h"

#include <algorithm>

namespace plat {

bool AddressMap::attach(uint32_t base, uint32_t size, BusDevice* device, std::string name) {
    if (size == 0 || device == nullptr || uint64_t(base) + size > (uint64_t(1) << 32)) return false;
    for (const auto& r : regions_) {
        if (uint64_t(base) < uint64_t(r.base) + r.size && uint64_t(r.base) < uint64_t(base) + size)
            return false;
    }
    last_ = nullptr;
    regions_.push_back(Region{base, size, device, std::move(name)});
    std::sort(regions_.begin(), regions_.end(),
              [](const Region& a, const Region& b) { return a.base < b.base; });
    return true;
}

bool AddressMap::attachOwned(uint32_t base, uint32_t size, std::unique_ptr<BusDevice> device,
                             std::string name) {
    if (!attach(base, size, device.get(), std::move(name))) return false;
    owned_.push_back(std::move(device));
    return true;
}

void AddressMap::detach(BusDevice* device) {
    last_ = nullptr;
    regions_.erase(std::remove_if(regions_.begin(), regions_.end(),
                                  [device](const Region& r) { return r.device == device; }),
                   regions_.end());
    owned_.erase(std::remove_if(owned_.begin(), owned_.end(),
                                [device](const auto& p) { return p.get() == device; }),
                 owned_.end());
}

const AddressMap::Region* AddressMap::regionFor(uint32_t addr, uint32_t len) const {
    auto inside = [addr, len](const Region& r) {
        return addr >= r.base && uint64_t(addr) - r.base + len <= r.size;
    };
    if (last_ && inside(*last_)) return last_;
    for (const auto& r : regions_) {
        if (inside(r)) return last_ = &r;
    }
    return nullptr;
}

BusDevice* AddressMap::deviceAt(uint32_t addr, uint32_t* base) {
    const Region* r = regionFor(addr, 1);
    if (!r) return nullptr;
    if (base) *base = r->base;
    return r->device;
}

bool AddressMap::access(uint32_t addr, int width, bool write, uint32_t* value) {
    if (addr % uint32_t(width) != 0) return false;
    const Region* r = regionFor(addr, uint32_t(width));
    if (!r) return false;
    return write ? r->device->write(addr - r->base, width, *value)
                 : r->device->read(addr - r->base, width, value);
}

bool AddressMap::read8(uint32_t addr, uint8_t* value) {
    uint32_t v = 0;
    if (!access(addr, 1, false, &v)) return false;
    *value = uint8_t(v);
    return true;
}
bool AddressMap::read16(uint32_t addr, uint16_t* value) {
    uint32_t v = 0;
    if (!access(addr, 2, false, &v)) return false;
    *value = uint16_t(v);
    return true;
}
bool AddressMap::read32(uint32_t addr, uint32_t* value) {
    return access(addr, 4, false, value);
}
bool AddressMap::write8(uint32_t addr, uint8_t value) {
    uint32_t v = value;
    return access(addr, 1, true, &v);
}
bool AddressMap::write16(uint32_t addr, uint16_t value) {
    uint32_t v = value;
    return access(addr, 2, true, &v);
}
bool AddressMap::write32(uint32_t addr, uint32_t value) {
    return access(addr, 4, true, &value);
}

bool AddressMap::readBlock(uint32_t addr, void* dst, uint32_t len) {
    const Region* r = regionFor(addr, len == 0 ? 1 : len);
    return r && r->device->readBlock(addr - r->base, dst, len);
}

uint8_t* AddressMap::memory(uint32_t addr, uint32_t len) {
    const Region* r = regionFor(addr, len == 0 ? 1 : len);
    return r ? r->device->memory(addr - r->base, len) : nullptr;
}

}  // namespace plat
