// stkboot on the board: start-up code (start.S, startup.cpp) has set up the
// processor, the address translation, the UART and the time base; this
// installs the platform's services over them, as the kernel does before it
// calls the boot program's entry, and runs the boot program. It never
// returns: the boot program ends in a hand-off, a reset or a halt.
#include <cstring>
#include <memory>

#include "boot/boot.h"
#include "fs/flash_volume.h"
#include "platform/line_console.h"
#include "platform/platform.h"
#include "platform/ppce500/board_control.h"
#include "platform/ppce500/exceptions.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/timebase.h"
#include "platform/ppce500/uart.h"

int main() {
    static ppce::TimeBaseClock clock;
    static ppce::UartLine uart(clock, ppce::boardInfo().uartClockHz);
    static plat::LineConsole console(uart);
    plat::Services& s = plat::services();
    s.clock = &clock;
    s.console = &console;
    // The flash disk: the FAT volume on the translation layer in the flash.
    static std::unique_ptr<plat::FlashDiskDriver> flashDisk = fs::makeFlashVolumeDriver();
    s.flashDisk = flashDisk.get();
    plat::resetProcessState();
    // A test entry: with "stkboot.fault-test" on QEMU's command line (the
    // runner's --append) the program faults here, so that tests see the
    // exception report and the halt of a fault in the boot program itself.
    if (std::strstr(ppce::boardInfo().bootArgs, "stkboot.fault-test")) ppce::faultForTest();
    usrAppInit();
    ppce::boardHalt();
}
