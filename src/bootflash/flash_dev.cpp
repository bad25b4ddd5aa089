// The NOR flash driver. Everything is 16-bit bus cycles at chip addresses,
// in the command set the chip's query names (bootflash/flash_commands.h).
#include "bootflash/flash_dev.h"

#include <cstdint>
#include <utility>

#include "bootflash/flash_commands.h"
#include "platform/platform.h"

FlashDevInfo flashDevInfo;
TarnMtdInfo tarnMtdInfo;
int flashDevInitialized = 0;

STK_RESET_HOOK {
    flashDevInfo = {};
    tarnMtdInfo = {};
    flashDevInitialized = 0;
}

namespace {

constexpr uint32_t kCfiQueryAddress = kFlashChipBase + 2 * 0x55;
constexpr uint16_t kCmdReset = 0xF0, kCmdCfiQuery = 0x98;
// The last 2 MiB of the chip, with the boot flash window, stay out of the flash disk.
constexpr uint32_t kReservedTop = 0x200000;
// The largest chip that fits from the base to the top of the address space.
constexpr uint32_t kMaxChipSize = 0u - kFlashChipBase;

using flashcmd::WaitEnd;

uint16_t cfiWord(uint32_t word) {
    return flashcmd::read(kFlashChipBase + 2 * word);
}

// The command set of the identified chip.
const flashcmd::CommandSet& commands() {
    uint32_t set = flashDevInfo.commandSet;
    return set == flashcmd::kIntelStandard || set == flashcmd::kIntelExtended ? flashcmd::intel()
                                                                              : flashcmd::amd();
}

void* ptr(uint32_t address) {
    return reinterpret_cast<void*>(uintptr_t(address));
}

bool insideChip(uint32_t address, uint32_t size) {
    return address >= kFlashChipBase &&
           uint64_t(address) + size <= uint64_t(kFlashChipBase) + flashDevInfo.chipSize;
}

// Reads the erase regions from the query table; false when they do not fit
// the record or the chip.
bool readRegions() {
    uint32_t sectors = 0;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < flashDevInfo.regionCount; ++i) {
        flashRegion& r = flashDevInfo.regions[i];
        r.sectorCount = (uint32_t(cfiWord(0x2E + 4 * i)) << 8 | (cfiWord(0x2D + 4 * i) & 0xFF)) + 1;
        r.sectorSize =
            (uint32_t(cfiWord(0x30 + 4 * i)) << 8 | (cfiWord(0x2F + 4 * i) & 0xFF)) * 256;
        uint64_t regionBytes = uint64_t(r.sectorSize) * r.sectorCount;
        if (r.sectorSize == 0 || bytes + regionBytes > flashDevInfo.chipSize) return false;
        r.firstSector = sectors;
        r.lastSector = sectors + r.sectorCount - 1;
        r.startAddress = kFlashChipBase + uint32_t(bytes);
        r.endAddress = uint32_t(r.startAddress + regionBytes - 1);
        sectors += r.sectorCount;
        bytes += regionBytes;
    }
    return true;
}

bool notInitialized() {
    if (flashDevInitialized) return false;
    plat::printf("Device is not initialized yet\n");
    return true;
}

}  // namespace

int flashDevProbe() {
    if (flashDevInitialized == 1) return 0;
    flashcmd::write(kCfiQueryAddress, kCmdCfiQuery);
    plat::taskDelay(1);
    bool ok = cfiWord(0x10) == 'Q' && cfiWord(0x11) == 'R' && cfiWord(0x12) == 'Y';
    if (ok) {
        flashDevInfo = {};
        flashDevInfo.deviceId = uint32_t(cfiWord(0x01)) << 8 | (cfiWord(0x00) & 0xFF);
        uint32_t sizeShift = cfiWord(0x27) & 0xFF;
        uint32_t bufferShift = cfiWord(0x2A) & 0xFF;
        flashDevInfo.regionCount = cfiWord(0x2C) & 0xFF;
        flashDevInfo.commandSet = (cfiWord(0x14) & 0xFF) << 8 | (cfiWord(0x13) & 0xFF);
        // A geometry this board cannot hold is a failed identification.
        ok = sizeShift < 32 && (uint64_t(1) << sizeShift) <= kMaxChipSize &&
             (uint64_t(1) << sizeShift) > kReservedTop && bufferShift >= 1 && bufferShift < 16 &&
             flashDevInfo.regionCount >= 1 && flashDevInfo.regionCount <= kFlashMaxRegions;
        if (ok) {
            flashDevInfo.chipSize = uint32_t(1) << sizeShift;
            flashDevInfo.bufferSize = uint32_t(1) << bufferShift;
            ok = readRegions();
        }
    }
    // Back to read mode in the chip's own command set (an Intel chip stays in
    // query mode on the AMD reset).
    if (ok)
        commands().readMode(kFlashChipBase);
    else
        flashcmd::write(kFlashChipBase, kCmdReset);
    if (!ok) {
        flashDevInfo = {};
        plat::printf("%s: CFI query failed\n", "flashDevProbe");
        return -1;
    }
    tarnMtdInfo.deviceId = flashDevInfo.deviceId;
    tarnMtdInfo.interleave = 1;
    tarnMtdInfo.eraseBlockSize = flashDevInfo.regions[0].sectorSize;
    tarnMtdInfo.usableSize = flashDevInfo.chipSize - kReservedTop;
    tarnMtdInfo.firstSector = flashDevInfo.regions[0].firstSector;
    tarnMtdInfo.baseAddress = flashDevInfo.regions[0].startAddress;
    tarnMtdInfo.valid = 1;
    flashDevInitialized = 1;
    return 0;
}

int flashDevShow() {
    if (notInitialized()) return -1;
    const char* me = "flashDevShow";
    const FlashDevInfo& f = flashDevInfo;
    plat::printf("%s: detected device ID %x\n", me, f.deviceId);
    plat::printf("%s: chip size %x (%d)\n", me, f.chipSize, int(f.chipSize));
    plat::printf("%s: buffer size in bytes %x (%d)\n", me, f.bufferSize, int(f.bufferSize));
    plat::printf("%s: number of erase regions %d\n", me, int(f.regionCount));
    for (uint32_t i = 0; i < f.regionCount; ++i) {
        const flashRegion& r = f.regions[i];
        plat::printf("%s: region %d, erase sector size %x (%d)\n", me, int(i + 1), r.sectorSize,
                     int(r.sectorSize));
        plat::printf("%s: region %d, erase sector count %x (%d)\n", me, int(i + 1), r.sectorCount,
                     int(r.sectorCount));
    }
    return 0;
}

int spfSectorNumGet(uint32_t address, int* sector) {
    for (uint32_t i = 0; i < flashDevInfo.regionCount; ++i) {
        const flashRegion& r = flashDevInfo.regions[i];
        if (address >= r.startAddress && address <= r.endAddress) {
            *sector = int(r.firstSector + (address - r.startAddress) / r.sectorSize);
            return 0;
        }
    }
    plat::printf("%s: invalid address %x\n", "spfSectorNumGet", address);
    return -1;
}

int spfSectorAdrsGet(int sector, uint32_t* address) {
    for (uint32_t i = 0; i < flashDevInfo.regionCount && sector >= 0; ++i) {
        const flashRegion& r = flashDevInfo.regions[i];
        if (uint32_t(sector) >= r.firstSector && uint32_t(sector) <= r.lastSector) {
            *address = r.startAddress + (uint32_t(sector) - r.firstSector) * r.sectorSize;
            return 0;
        }
    }
    plat::printf("%s: invalid sector %d\n", "spfSectorAdrsGet", sector);
    return -1;
}

int spfOpStatusCheck(int operation, uint32_t address, uint16_t expected) {
    return commands().wait(operation, address, expected) == WaitEnd::Done ? 0 : -1;
}

int flashDevSectorErase(int sector) {
    if (notInitialized()) return -1;
    uint32_t address = 0;
    if (spfSectorAdrsGet(sector, &address) != 0) {
        plat::printf("%s: spfSectorAdrsGet() failed for sector %d\n", "flashDevSectorErase",
                     sector);
        return -1;
    }
    commands().sectorErase(address);
    if (spfOpStatusCheck(kFlashOpSectorErase, address, 0xFFFF) != 0) {
        plat::printf("%s: spfOpStatusCheck() failed for sector %d (adrs %p) \n",
                     "flashDevSectorErase", sector, ptr(address));
        return -1;
    }
    commands().readMode(address);
    return 0;
}

int flashDevErase(uint32_t address, uint32_t size) {
    if (notInitialized()) return -1;
    int first = 0, last = 0;
    for (auto [at, sector] : {std::pair{address, &first}, std::pair{address + size, &last}}) {
        if (spfSectorNumGet(at, sector) != 0) {
            plat::printf("%s: spfSectorNumGet() failed for address %p\n", "flashDevErase", ptr(at));
            return -1;
        }
    }
    for (int sector = first; sector <= last; ++sector) {
        if (flashDevSectorErase(sector) != 0) {
            plat::printf("%s: flashDevSectorErase() failed for sector %d\n", "flashDevErase",
                         sector);
            return -1;
        }
    }
    return 0;
}

int flashDevWrite(uint32_t address, const void* source, uint32_t size) {
    if (notInitialized()) return -1;
    // A range leaving the chip would wrap into other devices' addresses.
    if ((address | size) & 1 || !insideChip(address, size)) {
        plat::printf("%s: address or size error, address %x size %d\n", "flashDevWrite", address,
                     int(size));
        return -1;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(source);
    auto wordAt = [bytes](uint32_t i) { return uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]); };
    const flashcmd::CommandSet& set = commands();
    const uint32_t bufferWords = flashDevInfo.bufferSize / 2;
    uint32_t left = size / 2;
    uint32_t next = 0;  // index of the next source word
    while (left > 0) {
        uint32_t words = 1;
        uint32_t waitAt = address;
        int operation = kFlashOpWordProgram;
        if (address % flashDevInfo.bufferSize == 0) {
            words = left < bufferWords ? left : bufferWords;
            waitAt = set.bufferProgram(address, bytes + 2 * next, words);
            operation = kFlashOpBufferProgram;
        } else {
            set.wordProgram(address, wordAt(next));
        }
        WaitEnd end = set.wait(operation, waitAt, wordAt(next + words - 1));
        // The abort reset that ends a write-buffer abort has left read mode already.
        if (end != WaitEnd::Aborted) set.readMode(address);
        if (end != WaitEnd::Done) {
            plat::printf("%s: spfOpStatusCheck() failed at adrs %p\n", "flashDevWrite",
                         ptr(address));
            return -1;
        }
        address += 2 * words;
        next += words;
        left -= words;
    }
    // Back to read mode at the address after the last word; after the chip's
    // last word that would wrap to address 0, so the last word takes it.
    set.readMode(insideChip(address, 2) ? address : address - 2);
    return 0;
}
