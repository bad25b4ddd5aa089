// A NOR flash of erase units in memory behind the flash record of flash
// drive 0, for tests and fuzz targets of the translation layer. Reads are
// plain memory on the bus; a program only clears bits and is verified like
// the board's driver does; an erase sets a unit to 0xFF. Every 64-byte
// program piece and every erase is one step, and the power can be cut at any
// step: the interrupted piece or unit is left with arbitrary bits between
// its old and new contents, BoardStop{PowerLoss} is thrown, and the flash
// refuses every change until it is installed again (the next power-on).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/address_map.h"
#include "platform/tffs.h"

class RamMtd : public plat::BusDevice {
  public:
    static constexpr uint32_t kBase = 0x80000000;  // free on the board's bus
    RamMtd(uint32_t unitSize, uint32_t units);
    // Attaches to the installed board and becomes flash drive 0's driver.
    void install();
    // A flash record for the translation layer.
    plat::FLFlash flash();
    void cutPowerAfter(uint64_t steps) { cutAt_ = steps ? steps_ + steps : 0; }
    uint64_t steps() const { return steps_; }
    std::vector<uint8_t>& bytes() { return bytes_; }
    uint32_t erases(uint32_t unit) const { return erases_.at(unit); }

    bool read(uint32_t offset, int width, uint32_t* value) override;
    bool write(uint32_t, int, uint32_t) override { return false; }
    uint8_t* memory(uint32_t offset, uint32_t len) override;

  private:
    static int identify(plat::FLFlash* flash);
    static uint32_t map(plat::FLFlash* flash, uint32_t cardAddress, int length);
    static int program(plat::FLFlash* flash, uint32_t cardAddress, const void* buffer, int length,
                       int overwrite);
    static int erase(plat::FLFlash* flash, int firstBlock, int blockCount);
    void step(uint8_t* cells, size_t n, const uint8_t* target);

    uint32_t unitSize_;
    std::vector<uint8_t> bytes_;
    std::vector<uint32_t> erases_;
    uint64_t steps_ = 0, cutAt_ = 0;
    bool off_ = false;
};
