// The FAT on-disk format (every field little-endian, as FAT defines it):
//   sector 0                boot sector with the BIOS parameter block
//   reserved sectors        then `fatCount` copies of the allocation table
//                           (12-bit entries for FAT12, 16-bit for FAT16)
//   root directory          a fixed number of 32-byte entries
//   data area               clusters numbered from 2
// Directory entry (32 bytes): name 8 + extension 3 (space padded), attribute,
// case flags (0x08 base, 0x10 extension in lower case), creation time tenths
// (0xFF while the entry is the source of a rename in progress), creation
// time and date, access date, high cluster word (0 here), modification time
// and date, first cluster, size. Names that are not 8.3 in one case get long
// name entries (attribute 0x0F, 13 UTF-16 characters each, last one first,
// each carrying the checksum of the short name) right before the short entry.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "fs/block_device.h"

namespace fs {

enum class FatType { Fat12, Fat16 };

struct FatGeometry {
    uint32_t totalSectors = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t fatSectors = 0;  // per copy
    uint32_t rootEntries = 0;
    uint32_t rootSectors = 0;
    uint32_t firstRootSector = 0;
    uint32_t firstDataSector = 0;
    uint32_t clusterCount = 0;  // clusters 2 .. clusterCount + 1
    uint8_t media = 0;
    FatType type = FatType::Fat16;
    uint32_t volumeId = 0;
    std::string label;

    uint32_t clusterBytes() const { return sectorsPerCluster * kSectorSize; }
    uint32_t clusterSector(uint32_t cluster) const {
        return firstDataSector + (cluster - 2) * sectorsPerCluster;
    }
    bool validCluster(uint32_t c) const { return c >= 2 && c < clusterCount + 2; }
    uint32_t endOfChain() const { return type == FatType::Fat12 ? 0xFFF : 0xFFFF; }
    uint32_t badCluster() const { return type == FatType::Fat12 ? 0xFF7 : 0xFFF7; }
    bool isEnd(uint32_t v) const { return v >= (type == FatType::Fat12 ? 0xFF8u : 0xFFF8u); }
};

// Reads a boot sector; false when it is not a FAT12/16 volume of 512-byte
// sectors that fits a device of `deviceSectors`.
bool parseBootSector(const uint8_t* sector, uint32_t deviceSectors, FatGeometry* g);

// Writes an empty FAT12 or FAT16 volume (the type its size calls for) over
// every sector of the device. 0, -EINVAL when it is too small, or an I/O
// error.
int makeFatVolume(BlockDevice& dev, uint32_t fatCount, uint32_t volumeId);

// --- Directory entries ----------------------------------------------------------
constexpr uint32_t kEntrySize = 32;
constexpr uint8_t kAttrReadOnly = 0x01, kAttrVolume = 0x08, kAttrDir = 0x10, kAttrLongName = 0x0F;
constexpr uint8_t kEntryFree = 0xE5;
constexpr uint8_t kCaseLowerBase = 0x08, kCaseLowerExt = 0x10;
constexpr uint8_t kRenameSource = 0xFF;  // in the creation time tenths byte
constexpr size_t kMaxNameLength = 255;

// The 8.3 form of a name when it has one (one case in the base, one in the
// extension, no characters beyond the short name set); case flags to go with.
bool shortNameOf(const std::string& name, uint8_t out[11], uint8_t* caseFlags);
// The short name an entry shows: "NAME.EXT" with its case flags applied.
std::string shortNameText(const uint8_t* raw11, uint8_t caseFlags);
// A short name for a long one: basis name with the numeric tail ~n.
void shortNameWithTail(const std::string& name, uint32_t n, uint8_t out[11]);
uint8_t longNameChecksum(const uint8_t* raw11);
// Whether a name may name an entry (characters and length).
int checkName(const std::string& name);
bool sameName(const std::string& a, const std::string& b);

// DOS date and time <-> calendar seconds (the board's clock is UTC).
void dosTimeOf(std::time_t t, uint16_t* date, uint16_t* time);
std::time_t timeOfDos(uint16_t date, uint16_t time);

}  // namespace fs
