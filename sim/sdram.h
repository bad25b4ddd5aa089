// The board's SDRAM: 256 MiB from address 0, reserved lazily so untouched
// pages cost nothing, with test controls for faults that bus cycles see.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/address_map.h"

namespace sim {

class Sdram : public plat::BusDevice {
  public:
    static constexpr uint32_t kSize = 256u << 20;
    Sdram();
    ~Sdram() override;
    Sdram(const Sdram&) = delete;
    Sdram& operator=(const Sdram&) = delete;
    // Pointer to [addr, addr+len) when it lies inside the SDRAM, else nullptr.
    uint8_t* at(uint64_t addr, uint64_t len);

    bool read(uint32_t offset, int width, uint32_t* value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;
    uint8_t* memory(uint32_t offset, uint32_t len) override { return at(offset, len); }

    // --- Test controls: faults that bus cycles see (bulk memory() does not) ---
    // Address lines in `mask` never reach the chips: a cycle at A lands at A & ~mask.
    void aliasAddressLines(uint32_t mask) { aliasMask_ = mask; }
    // Bits of `mask` in the byte at `addr` read as 1 (high) or 0, whatever is stored.
    void stuckBits(uint32_t addr, uint8_t mask, bool high) {
        stuck_.push_back(Stuck{addr, mask, high});
    }

  private:
    struct Stuck {
        uint32_t addr;
        uint8_t mask;
        bool high;
    };
    uint8_t* base_;
    uint32_t aliasMask_ = 0;
    std::vector<Stuck> stuck_;
};

// The SDRAM of the installed board.
Sdram& sdram();

}  // namespace sim
