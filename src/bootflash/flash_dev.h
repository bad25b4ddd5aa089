// The NOR flash chip's driver: CFI identification, erase geometry, sector
// erase and (write-buffer) programming with data polling, and the memory
// technology driver hook through which the flash disk uses the same chip.
#pragma once

#include <cstdint>

#include "platform/files.h"
#include "platform/tffs.h"

constexpr uint32_t kFlashChipBase = 0xFE000000;
// Erase regions the geometry record has room for; a chip reporting more is
// not supported.
constexpr uint32_t kFlashMaxRegions = 4;

// Operations of the status wait, as its messages number them.
constexpr int kFlashOpBufferProgram = 1;
constexpr int kFlashOpWordProgram = 2;
constexpr int kFlashOpSectorErase = 3;
// Status reads after which a wait gives up.
constexpr uint32_t kFlashStatusReadLimit = 0x1000000;

struct flashRegion {
    uint32_t sectorCount;
    uint32_t sectorSize;
    uint32_t startAddress;
    uint32_t endAddress;  // last byte
    uint32_t firstSector;
    uint32_t lastSector;  // inclusive
};

struct FlashDevInfo {
    uint32_t deviceId;
    uint32_t commandSet;  // the query's primary algorithm: 0x0002 AMD, 0x0001 Intel
    uint32_t chipSize;
    uint32_t bufferSize;  // bytes
    uint32_t regionCount;
    flashRegion regions[kFlashMaxRegions];
};

struct TarnMtdInfo {
    uint32_t deviceId;
    uint32_t interleave;
    uint32_t eraseBlockSize;
    uint32_t usableSize;
    uint32_t firstSector;
    uint32_t baseAddress;
    int valid;
};

extern FlashDevInfo flashDevInfo;
extern TarnMtdInfo tarnMtdInfo;
extern int flashDevInitialized;

int flashDevProbe();
int flashDevShow();
int flashDevSectorErase(int sector);
// Erases the sectors holding address through address + size (size is the
// distance to the last byte).
int flashDevErase(uint32_t address, uint32_t size);
int flashDevWrite(uint32_t address, const void* source, uint32_t size);
int spfSectorNumGet(uint32_t address, int* sector);
int spfSectorAdrsGet(int sector, uint32_t* address);
int spfOpStatusCheck(int operation, uint32_t address, uint16_t expected);

// The memory technology driver of the flash disk.
int tarnMTDIdentify(plat::FLFlash* flash);
uint32_t tarnMap(plat::FLFlash* flash, uint32_t cardAddress, int length);
int tarnWrite(plat::FLFlash* flash, uint32_t cardAddress, const void* buffer, int length,
              int overwrite);
int tarnErase(plat::FLFlash* flash, int firstBlock, int blockCount);
