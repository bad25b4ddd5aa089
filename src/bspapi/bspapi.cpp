// Board constants and state, the console descriptor, the clock read and the
// system information dump of the board API.
#include "bspapi/bspapi.h"

#include "board/identity.h"
#include "board/rtc.h"
#include "image/stkimage.h"
#include "platform/platform.h"

namespace {

int startType = 0;

STK_RESET_HOOK {
    startType = 0;
}

}  // namespace

uint32_t bspapiIplModelGet() {
    return kTargetDevice;
}
int bspapiDefaultBaudRateGet() {
    return kBspDefaultBaudRateCode;
}
const char* bspapiServicePortNameGet() {
    return "mottsec";
}
int bspapiServicePortUnitGet() {
    return 0;
}
int bspapiWatchdogEnable() {
    return 0;
}
int bspapiWatchdogDisable() {
    return 0;
}
int bspapiWatchdogService() {
    return 0;
}
uint32_t bspapiWatchdogInterval() {
    return kBspWatchdogInterval;
}
uint32_t bspapiCpuBoardIdGet() {
    return static_cast<uint32_t>(bspBoardIdGet());
}

int bspapiConsoleStatusGet(uint32_t* status) {
    *status = 1;
    return 0;
}

int bspapiLocatorLedBlinkStart() {
    return kBspNotSupported;
}
int bspapiLocatorLedIndicateNormalStart() {
    return kBspNotSupported;
}

int bspapiSysLedStatusGet(uint32_t* status) {
    *status = 1;
    return kBspNotSupported;
}

void bspapiStackLedSet() {}

int bspapiConsoleFdOutGet() {
    return 1;
}
int bspapiConsoleFdGet() {
    return plat::consoleFdGet();
}
int bspapiConsoleFdSet(int fd) {
    plat::consoleFdSet(fd);
    return 0;
}

int bspapiStartTypeGet() {
    return startType;
}
void bspapiStartTypeSet(int type) {
    startType = type;
}

int bspapiSerialPortParmGet(int selector, uint32_t* value) {
    static constexpr uint32_t kValues[] = {8, 0, 2, 1};
    if (selector < 0 || selector > 3) return 1;
    *value = kValues[selector];
    return 0;
}

int bspapiSwitchMacAddrValid(const uint8_t* mac) {
    if (mac[0] & 1) return 0;
    for (int i = 0; i < 6; ++i)
        if (mac[i] != 0) return 1;
    return 0;
}

int bspapiRTCRead(BspTime* time) {
    uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (sysTodGet(&year, &month, &day, &hour, &minute, &second) != 0) return 1;
    time->tm_sec = static_cast<int32_t>(second);
    time->tm_min = static_cast<int32_t>(minute);
    time->tm_hour = static_cast<int32_t>(hour);
    time->tm_mday = static_cast<int32_t>(day);
    time->tm_mon = static_cast<int32_t>(month) - 1;
    time->tm_year = static_cast<int32_t>(year) - 1900;
    return 0;
}

int bspapiDebugRegisteredSysInfoDump() {
    static const char* kRule =
        "/*=====================================================================*/\n";
    plat::printf("\r\n");
    plat::printf("%s", kRule);
    plat::printf("/*                  BSP  INFORMATION                                   */\n");
    plat::printf("%s", kRule);
    plat::printf("\r\n");
    plat::printf("\n");
    print_vpd_in_flash();
    plat::printf("\r\n");
    plat::printf("\n");
    return 0;
}
