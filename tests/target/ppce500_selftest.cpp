// Selftest program for the ppce500 platform: the few things the boot
// program's own sessions never reach. It checks the heap's limit and the line
// speeds the UART refuses, each printing "ok   NAME" or "FAIL NAME", then
// obeys one-letter commands from the console so that a test on the host can
// drive what cannot check itself (real time, reset, power-off).
#include <errno.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/ppce500/board_control.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/timebase.h"
#include "platform/ppce500/uart.h"

namespace {

int checkCount = 0, failCount = 0;

void check(bool ok, const char* name) {
    ++checkCount;
    if (!ok) ++failCount;
    std::printf(ok ? "ok   %s\n" : "FAIL %s\n", name);
}

// The heap ends below the stack: a request beyond it is refused, not granted
// over the stack, and the heap still serves afterwards.
void checkHeap() {
    errno = 0;
    void* huge = std::malloc(size_t(1) << 30);
    check(huge == nullptr, "malloc beyond the heap gives null");
    check(errno == ENOMEM, "malloc beyond the heap sets ENOMEM");
    void* small = std::malloc(100);
    check(small != nullptr, "malloc still works after a refusal");
    std::free(small);
}

// Speeds whose divisor does not fit or is too far off are refused; the boot
// menu never offers them.
void checkLineSpeeds(ppce::UartLine& line) {
    check(line.setBaud(3125000) == 0, "line speed 3125000 (divisor 8)");
    check(line.setBaud(300) == -1, "line speed 300 refused (divisor above 65535)");
    check(line.setBaud(20000000) == -1, "line speed 20000000 refused (25 % off)");
    check(line.setBaud(0) == -1, "line speed 0 refused");
    check(line.setBaud(115200) == 0, "line speed back to 115200");
}

}  // namespace

int main() {
    ppce::TimeBaseClock clock;
    ppce::UartLine line(clock, ppce::boardInfo().uartClockHz);
    line.setBaud(115200);
    std::printf("\nppce500 selftest\n");
    checkHeap();
    checkLineSpeeds(line);
    std::printf("selftest: %d checks, %d failed\n", checkCount, failCount);
    for (;;) {
        std::printf("command (d delay, r reset, p power-off)> ");
        std::fflush(stdout);
        uint8_t cmd = 0;
        while (line.readSome(&cmd, 1) != 1 || cmd == '\r' || cmd == '\n') {
        }
        std::printf("%c\n", cmd);
        if (cmd == 'd') {
            std::printf("tick\n");
            std::fflush(stdout);
            clock.sleepUs(1000000);
            std::printf("tock\n");
        } else if (cmd == 'r') {
            std::printf("resetting\n");
            std::fflush(stdout);
            ppce::boardReset();
        } else if (cmd == 'p') {
            std::printf("powering off\n");
            std::fflush(stdout);
            ppce::boardPowerOff();
        }
    }
}
