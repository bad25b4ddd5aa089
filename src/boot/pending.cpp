// Placeholders for routines of subsystems that are not on this board build
// yet. Each reports what the missing device or file would; the real routine,
// defined elsewhere, replaces its placeholder at link time.
#include <cstdio>

#include "board/devices.h"
#include "boot/boot.h"
#include "bootflash/bootflash.h"
#include "eventlog/eventlog.h"
#include "eventlog/retrieve.h"
#include "image/bspapi.h"
#include "image/dim.h"
#include "image/stkimage.h"
#include "launch/diag.h"
#include "launch/launch.h"
#include "load/load.h"
#include "platform/platform.h"
#include "xmodem/xmodem.h"

#define PENDING __attribute__((weak))

// No I2C devices: the clock chip cannot be reached.
PENDING int i2cInit(int, int, int) {
    return 0;
}
PENDING int tarnRtcInit() {
    return -1;
}
PENDING int tarnRtcGet(uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint32_t*, uint32_t*) {
    return -1;
}

// No boot flash device.
PENDING int Flash_Init() {
    return -1;
}
PENDING int bootromUpdateBootcode() {
    return 1;
}

PENDING int Log_Init(uint32_t, LogNotifyFn, uint32_t, uint32_t, uint32_t) {
    return 1;
}
PENDING void send_event_log_via_xmodem() {}

// Without an image list the active image is "image1" and there is no backup.
PENDING int dimInitialize() {
    return 0;
}
PENDING int dimActiveImageFileNameGet(char* fileName) {
    std::snprintf(fileName, 40, "%s", "image1");
    return 0;
}
PENDING int dimBackupImageFileNameGet(char*) {
    return 1;
}
PENDING int dimImageActivate(const char*) {
    return 5;
}
PENDING int dimShowBootCfg() {
    return -1;
}

PENDING int check_oprcrc_in_flash() {
    return 1;
}
PENDING void print_vpd_in_flash() {}

PENDING int start_operational_code(int) {
    return 1;
}

// Without the selector file the system image is selected.
PENDING int fellActiveImageGet() {
    return 2;
}
PENDING int fellActiveImageSet(int) {
    return 0;
}
PENDING int fellDiagImageCrcCheck() {
    return 1;
}
PENDING int fellDiagImageLoad(uint32_t) {
    return 1;
}
PENDING int fellDiagImageRun() {
    return 1;
}

PENDING int load_operational_code(uint32_t) {
    return 1;
}
PENDING int load_configuration() {
    return 1;
}

PENDING void BootCodeSecrets() {}

PENDING int xmodem(const char*) {
    return -1;
}

PENDING int bspapiConsoleFdGet() {
    return plat::kConsoleFd;
}
PENDING void bspapiConsoleFdSet(int) {}
