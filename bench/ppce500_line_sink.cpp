// The console line's own limit on the board build: a program for QEMU's
// ppce500 machine that reads a byte count as a line, then counts that many raw
// bytes through the boot program's console layer (the software line
// discipline over the UART, as transfers read them) and does nothing else with
// them. bench/ppce500_race.py pushes the bytes from the host and times them.
#include <cstdio>
#include <cstdlib>

#include "platform/line_console.h"
#include "platform/platform.h"
#include "platform/ppce500/board_control.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/timebase.h"
#include "platform/ppce500/uart.h"

int main() {
    static ppce::TimeBaseClock clock;
    static ppce::UartLine uart(clock, ppce::boardInfo().uartClockHz);
    static plat::LineConsole console(uart);
    plat::services().clock = &clock;
    plat::services().console = &console;
    console.setBaud(115200);
    static uint8_t chunk[4096];
    for (;;) {
        plat::ioctl(plat::kConsoleFd, plat::FIOSETOPTIONS, plat::OPT_TERMINAL);
        plat::printf("line sink: bytes to count? ");
        char line[32];
        if (!plat::gets(line, sizeof line)) continue;
        unsigned long want = std::strtoul(line, nullptr, 10);
        plat::ioctl(plat::kConsoleFd, plat::FIOSETOPTIONS, plat::OPT_RAW);
        plat::printf("send %lu bytes\n", want);
        unsigned long got = 0;
        uint64_t start = 0;
        while (got < want) {
            long n = console.read(chunk, want - got < sizeof chunk ? want - got : sizeof chunk);
            if (n > 0 && got == 0) start = clock.nowUs();
            if (n > 0) got += static_cast<unsigned long>(n);
        }
        plat::printf("counted %lu bytes in %llu us\n", got,
                     static_cast<unsigned long long>(clock.nowUs() - start));
    }
}
