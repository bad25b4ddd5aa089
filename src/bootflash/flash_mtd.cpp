// The memory technology driver that lets the kernel's flash translation layer
// keep the flash disk on the lower part of the chip, through the same driver
// as the boot flash programming.
#include <algorithm>
#include <cstring>

#include "bootflash/flash_dev.h"
#include "platform/bus.h"
#include "platform/platform.h"

namespace {

void* ptr(uint32_t address) {
    return reinterpret_cast<void*>(uintptr_t(address));
}

// Card ranges beyond the usable size would reach the boot flash window.
bool insideDisk(uint64_t cardAddress, uint64_t length) {
    return cardAddress + length <= tarnMtdInfo.usableSize;
}

}  // namespace

int tarnMTDIdentify(plat::FLFlash* flash) {
    plat::flFileSysSectorStart = 0;
    plat::flSetWindowBusWidth(flash->socket, 16);
    plat::flSetWindowSpeed(flash->socket, 120);
    if (!tarnMtdInfo.valid) {
        plat::printf("Device is not initialized yet !!\n");
        return plat::flUnknownMedia;
    }
    flash->type = uint16_t(tarnMtdInfo.deviceId);
    flash->erasableBlockSize = tarnMtdInfo.eraseBlockSize;
    flash->chipSize = tarnMtdInfo.usableSize;
    flash->writeBufferSize = flashDevInfo.bufferSize;
    flash->noOfChips = 1;
    flash->interleaving = 1;
    flash->map = tarnMap;
    flash->write = tarnWrite;
    flash->erase = tarnErase;
    return plat::flOK;
}

uint32_t tarnMap(plat::FLFlash*, uint32_t cardAddress, int) {
    return tarnMtdInfo.baseAddress + cardAddress;
}

int tarnWrite(plat::FLFlash* flash, uint32_t cardAddress, const void* buffer, int length, int) {
    if (plat::flWriteProtected(flash->socket)) return plat::flWriteProtect;
    uint32_t address = tarnMtdInfo.baseAddress + cardAddress;
    if (length < 0 || !insideDisk(cardAddress, uint64_t(length)) ||
        flashDevWrite(address, buffer, uint32_t(length)) != 0) {
        plat::printf("\nMTD write failed, address %p, size %d\n", ptr(address), length);
        return plat::flWriteFault;
    }
    // The flash read back through the map routine, a piece at a time, and
    // compared byte by byte.
    uint32_t mapped = tarnMap(flash, cardAddress, length);
    const uint8_t* expected = static_cast<const uint8_t*>(buffer);
    uint8_t stored[256];
    for (uint32_t at = 0; at < uint32_t(length); at += sizeof stored) {
        uint32_t n = std::min<uint32_t>(sizeof stored, uint32_t(length) - at);
        if (!plat::busReadBlock(mapped + at, stored, n) || std::memcmp(stored, expected + at, n)) {
            plat::printf("\ntffscmp() failed in MTD write, address %p, size %d\n", ptr(mapped),
                         length);
            return plat::flWriteFault;
        }
    }
    return plat::flOK;
}

int tarnErase(plat::FLFlash* flash, int firstBlock, int blockCount) {
    if (plat::flWriteProtected(flash->socket)) return plat::flWriteProtect;
    for (int block = firstBlock; block < firstBlock + blockCount; ++block) {
        bool inside = block >= 0 && insideDisk(uint64_t(block) * tarnMtdInfo.eraseBlockSize,
                                               tarnMtdInfo.eraseBlockSize);
        if (!inside || flashDevSectorErase(block + int(tarnMtdInfo.firstSector)) != 0) {
            plat::printf("%s:flashDevSectorErase failed for block %d\n", "tarnErase", block);
            return plat::flWriteFault;
        }
    }
    return plat::flOK;
}
