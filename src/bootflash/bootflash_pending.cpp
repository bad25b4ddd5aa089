// Stands in for the boot flash driver until it is built: there is no boot
// flash device. Deleted with the real routines.
#include "bootflash/bootflash.h"

int Flash_Init() {
    return -1;
}
int bootromUpdateBootcode() {
    return 1;
}
int bspapiBootCodeUpdate(const char*) {
    return 1;
}
