// The boot program's access to the boot flash: erase and write wrappers over
// the flash driver, its start, and the lock for code that shares the chip
// between tasks.
#include "bootflash/bootflash.h"
#include "bootflash/flash_dev.h"
#include "platform/platform.h"

namespace {
plat::SEM_ID flashSem = nullptr;
int flashFree = 0;  // 1 = free, 0 = held
}  // namespace

STK_RESET_HOOK {
    if (flashSem) plat::semDelete(flashSem);
    flashSem = nullptr;
    flashFree = 0;
}

int Flash_Init() {
    int rc = flashDevProbe();
    // The flash disk's translation layer reaches the chip through this driver.
    plat::tffsMtdRegister(tarnMTDIdentify);
    if (!flashSem) flashSem = plat::semBCreate(plat::SEM_Q_PRIORITY, plat::SEM_FULL);
    flashFree = 1;
    return rc;
}

int Flash_Init_Boot() {
    return 0;
}

int Flash_Erase(uint32_t start, uint32_t end) {
    if (flashDevErase(start, end - start) != 0) {
        plat::printf("%s: flashDevErase() failed\n", "Flash_Erase");
        return -1;
    }
    return 0;
}

int Flash_Erase_Boot() {
    return Flash_Erase(kBootFlashStart, kBootFlashEnd);
}

int Flash_Write_Block(const void* source, uint32_t address, uint32_t length) {
    if (flashDevWrite(address, source, length) != 0) {
        plat::printf("%s: flashDevWrite() failed\n", "Flash_Write_Block");
        return -1;
    }
    return 0;
}

int Flash_Write_Boot(const void* source, uint32_t offset, uint32_t length) {
    return Flash_Write_Block(source, kBootFlashStart + offset, length);
}

// A misuse of the lock would let two tasks interleave command sequences on
// the chip: the board is reset instead.
void Flash_Lock() {
    if (plat::intContext()) plat::sysReboot();
    plat::SigSet saved = 0;
    plat::SigSet all = plat::kSigAll;
    if (plat::sigprocmask(plat::kSigBlock, &all, &saved) != 0) plat::sysReboot();
    // A take that fails (no semaphore, or it cannot be had) is as fatal as a
    // lock already held.
    if (plat::semTake(flashSem, plat::WAIT_FOREVER) != 0 || flashFree == 0) plat::sysReboot();
    flashFree = 0;
    if (plat::sigprocmask(plat::kSigSetMask, &saved, nullptr) != 0) plat::sysReboot();
}

// Takes the lock only when it is free at once: 0, or -1 when it is held.
int Flash_Lock_NoWait() {
    if (plat::semTake(flashSem, plat::NO_WAIT) != 0) return -1;
    flashFree = 0;
    return 0;
}

void Flash_Unlock() {
    if (flashFree == 1) plat::sysReboot();
    flashFree = 1;
    plat::semGive(flashSem);
}
