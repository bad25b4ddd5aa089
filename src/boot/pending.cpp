// Placeholders for routines of subsystems that are not on this board build
// yet: the I2C bus and its real-time clock, the boot flash, and the utilities
// menu. Each reports what the missing device would; the real routine, defined
// elsewhere, replaces its placeholder at link time.
#include "board/devices.h"
#include "boot/boot.h"
#include "bootflash/bootflash.h"

#define PENDING __attribute__((weak))

// No I2C devices: the clock chip cannot be reached.
PENDING int i2cInit(int, int, int) { return 0; }
PENDING int tarnRtcInit() { return -1; }
PENDING int tarnRtcGet(uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint32_t*) {
    return -1;
}

// No boot flash device.
PENDING int Flash_Init() { return -1; }
PENDING int bootromUpdateBootcode() { return 1; }

// No utilities menu: option 30 returns to the Boot Menu at once.
PENDING void BootCodeSecrets() {}
