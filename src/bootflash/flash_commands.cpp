// The two command sets of the flash driver.
#include "bootflash/flash_commands.h"

#include "bootflash/flash_dev.h"
#include "platform/platform.h"

namespace flashcmd {

namespace {

void* ptr(uint32_t address) {
    return reinterpret_cast<void*>(uintptr_t(address));
}

void failed(int operation, uint32_t address) {
    plat::printf("%s: FAILED for operation %d at address %p\n", "spfOpStatusCheck", operation,
                 ptr(address));
}

// --- AMD: unlock cycles at word addresses 0x555 and 0x2AA, data polling ------
constexpr uint32_t kUnlock1 = kFlashChipBase + 2 * 0x555;
constexpr uint32_t kUnlock2 = kFlashChipBase + 2 * 0x2AA;
constexpr uint16_t kAmdReset = 0xF0;

void unlock() {
    write(kUnlock1, 0xAA);
    write(kUnlock2, 0x55);
}

void amdReadMode(uint32_t address) {
    write(address, kAmdReset);
}

void amdSectorErase(uint32_t sector) {
    write(kFlashChipBase, kAmdReset);
    unlock();
    write(kUnlock1, 0x80);
    unlock();
    write(sector, 0x30);
}

void amdWordProgram(uint32_t address, uint16_t word) {
    unlock();
    write(kUnlock1, 0xA0);
    write(address, word);
}

uint16_t wordAt(const uint8_t* bytes, uint32_t i) {
    return uint16_t(bytes[2 * i] << 8 | bytes[2 * i + 1]);
}

uint32_t amdBufferProgram(uint32_t address, const uint8_t* bytes, uint32_t words) {
    unlock();
    write(address, 0x25);
    write(address, uint16_t(words - 1));
    for (uint32_t i = 0; i < words; ++i) write(address + 2 * i, wordAt(bytes, i));
    write(address, 0x29);
    return address + 2 * (words - 1);
}

// Data polling: DQ7 shows the complement of the data until the operation
// ends; DQ5 is its time limit, DQ1 a write-buffer abort.
WaitEnd amdWait(int operation, uint32_t address, uint16_t expected) {
    const uint16_t done = expected & 0x80;
    for (uint32_t reads = 1;; ++reads) {
        uint16_t status = read(address);
        if ((status & 0x80) == done) return WaitEnd::Done;
        if (status & 0x20) {
            if ((read(address) & 0x80) == done) return WaitEnd::Done;
            failed(operation, address);
            write(address, kAmdReset);
            return WaitEnd::Failed;
        }
        if (operation == kFlashOpBufferProgram && (status & 0x02)) {
            if ((read(address) & 0x80) == done) return WaitEnd::Done;
            plat::printf("%s: ABORT for buffer write at address %p\n", "spfOpStatusCheck",
                         ptr(address));
            unlock();
            write(kUnlock1, kAmdReset);
            return WaitEnd::Aborted;
        }
        plat::taskDelay(0);
        if (statusReadsExhausted(reads, operation, address)) {
            write(address, kAmdReset);
            return WaitEnd::TimedOut;
        }
    }
}

// --- Intel: commands at the target address, a status register ----------------
constexpr uint16_t kIntelReadArray = 0xFF, kIntelClearStatus = 0x50, kIntelConfirm = 0xD0;
// Status register: ready, then the error bits (erase, program, supply
// voltage, locked block).
constexpr uint16_t kReady = 0x80, kErrors = 0x20 | 0x10 | 0x08 | 0x02;

void intelReadMode(uint32_t address) {
    write(address, kIntelReadArray);
}

void intelSectorErase(uint32_t sector) {
    write(sector, kIntelClearStatus);
    write(sector, 0x20);
    write(sector, kIntelConfirm);
}

void intelWordProgram(uint32_t address, uint16_t word) {
    write(address, kIntelClearStatus);
    write(address, 0x40);
    write(address, word);
}

uint32_t intelBufferProgram(uint32_t address, const uint8_t* bytes, uint32_t words) {
    write(address, kIntelClearStatus);
    write(address, 0xE8);
    // The write buffer is free when the status reads ready.
    for (uint32_t reads = 1; !(read(address) & kReady); ++reads)
        if (reads >= kFlashStatusReadLimit) break;
    write(address, uint16_t(words - 1));
    for (uint32_t i = 0; i < words; ++i) write(address + 2 * i, wordAt(bytes, i));
    write(address, kIntelConfirm);
    return address;
}

WaitEnd intelWait(int operation, uint32_t address, uint16_t) {
    for (uint32_t reads = 1;; ++reads) {
        uint16_t status = read(address);
        if (status & kReady) {
            if (!(status & kErrors)) return WaitEnd::Done;
            failed(operation, address);
            write(address, kIntelClearStatus);
            write(address, kIntelReadArray);
            return WaitEnd::Failed;
        }
        plat::taskDelay(0);
        if (statusReadsExhausted(reads, operation, address)) {
            write(address, kIntelReadArray);
            return WaitEnd::TimedOut;
        }
    }
}

}  // namespace

uint16_t read(uint32_t address) {
    uint16_t value = 0xFFFF;
    plat::busRead16(address, &value);
    return value;
}

void write(uint32_t address, uint16_t value) {
    plat::busWrite16(address, value);
}

bool statusReadsExhausted(uint32_t reads, int operation, uint32_t address) {
    if (reads < kFlashStatusReadLimit) return false;
    plat::printf("%s: TIMEOUT for operation %d at address %p\n", "spfOpStatusCheck", operation,
                 ptr(address));
    return true;
}

const CommandSet& amd() {
    static const CommandSet set = {amdReadMode, amdSectorErase, amdWordProgram, amdBufferProgram,
                                   amdWait};
    return set;
}

const CommandSet& intel() {
    static const CommandSet set = {intelReadMode, intelSectorErase, intelWordProgram,
                                   intelBufferProgram, intelWait};
    return set;
}

}  // namespace flashcmd
