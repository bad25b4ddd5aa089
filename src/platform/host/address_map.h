// The simulated board's physical address space as the processor sees it:
// regions of SDRAM, the NOR flash chip's window and the configuration
// registers, each answered by a device model. The host's bus cycles
// (platform/bus.h) go through this map.
// The bus is big-endian: a 16-bit read at an even address returns the byte at
// that address as the high byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/board_map.h"

namespace plat {

// A model that answers bus cycles in a range of addresses. Offsets are from
// the start of the region it was attached at; width is 1, 2 or 4 bytes and
// the value is in the bus's (big-endian) significance. A model returns false
// when it does not answer that cycle (the caller sees a bus error).
class BusDevice {
  public:
    virtual ~BusDevice() = default;
    virtual bool read(uint32_t offset, int width, uint32_t* value) = 0;
    virtual bool write(uint32_t offset, int width, uint32_t value) = 0;
    // Plain memory behind [offset, offset+len) for bulk copies, or nullptr
    // when the region is not memory (a device with side effects).
    virtual uint8_t* memory(uint32_t /*offset*/, uint32_t /*len*/) { return nullptr; }
    // Reads [offset, offset+len) as a run of read cycles would, in one call;
    // false when the model cannot (the caller then makes the cycles).
    virtual bool readBlock(uint32_t /*offset*/, void* /*dst*/, uint32_t /*len*/) { return false; }
};

class AddressMap {
  public:
    // Attaches a model at [base, base+size). Ranges must not overlap; returns
    // false (nothing attached) when they would.
    bool attach(uint32_t base, uint32_t size, BusDevice* device, std::string name);
    // As attach, and the map keeps the model for the board's life.
    bool attachOwned(uint32_t base, uint32_t size, std::unique_ptr<BusDevice> device,
                     std::string name);
    void detach(BusDevice* device);

    // Bus cycles. false: nothing answers at that address (bus error); *value
    // is then left untouched. A cycle must fall inside one region and be
    // aligned to its width.
    bool read8(uint32_t addr, uint8_t* value);
    bool read16(uint32_t addr, uint16_t* value);
    bool read32(uint32_t addr, uint32_t* value);
    bool write8(uint32_t addr, uint8_t value);
    bool write16(uint32_t addr, uint16_t value);
    bool write32(uint32_t addr, uint32_t value);

    // Plain memory behind [addr, addr+len) inside one region, or nullptr.
    uint8_t* memory(uint32_t addr, uint32_t len);
    // A run of read cycles over [addr, addr+len) inside one region, as its
    // model answers it in one call; false when it does not.
    bool readBlock(uint32_t addr, void* dst, uint32_t len);

    // The model attached at addr with its region's base, or nullptr.
    BusDevice* deviceAt(uint32_t addr, uint32_t* base = nullptr);
    // The first attached model of type T (test controls, drivers' set-up).
    template <class T>
    T* find() {
        for (auto& r : regions_)
            if (auto* t = dynamic_cast<T*>(r.device)) return t;
        return nullptr;
    }

  private:
    struct Region {
        uint32_t base;
        uint32_t size;
        BusDevice* device;
        std::string name;
    };
    const Region* regionFor(uint32_t addr, uint32_t len) const;
    bool access(uint32_t addr, int width, bool write, uint32_t* value);

    std::vector<Region> regions_;
    std::vector<std::unique_ptr<BusDevice>> owned_;
    // The region of the last cycle: drivers stay in one for long runs.
    mutable const Region* last_ = nullptr;
};

}  // namespace plat
