// Selftest program for the ppce500 platform: runs its checks, then obeys
// one-letter commands from the console so that a test on the host can drive
// what cannot check itself (input, real time, faults, reset, power-off).
#include "ppce500_selftest.h"

#include <cstdio>
#include <cstring>

#include "platform/ppce500/board_control.h"
#include "platform/ppce500/exceptions.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/timebase.h"

namespace selftest {

namespace {

int checkCount = 0, failCount = 0;

// Reads a line from the raw line (no echo: that is the console's job).
size_t readLine(ppce::UartLine& line, char* buf, size_t size) {
    size_t n = 0;
    for (;;) {
        uint8_t c;
        if (line.readSome(&c, 1) != 1) continue;
        if (c == '\r' || c == '\n') break;
        if (n + 1 < size) buf[n++] = char(c);
    }
    buf[n] = '\0';
    return n;
}

}  // namespace

void check(bool ok, const char* name, const char* detail) {
    ++checkCount;
    if (!ok) ++failCount;
    std::printf(ok ? "ok   %s\n" : "FAIL %s: %s\n", name, detail);
}

int failures() {
    return failCount;
}

int checks() {
    return checkCount;
}

}  // namespace selftest

using namespace selftest;

int main() {
    ppce::TimeBaseClock clock;
    ppce::UartLine line(clock, ppce::boardInfo().uartClockHz);
    line.setBaud(115200);
    uint64_t startedUs = clock.nowUs();
    std::printf("\nppce500 selftest\n");
    checkBoard();
    checkFormats();
    checkConversions();
    checkHeap();
    checkContainers();
    checkDecoders();
    checkLine(line);
    checkProcessor();
    checkBus();
    std::printf("selftest: %d checks, %d failed, %llu us\n", checks(), failures(),
                static_cast<unsigned long long>(clock.nowUs() - startedUs));
    for (;;) {
        std::printf(
            "command (e echo, d delay, f fault, r reset, p power-off)> ");
        std::fflush(stdout);
        char cmd[80];
        readLine(line, cmd, sizeof cmd);
        std::printf("\n");
        if (std::strcmp(cmd, "e") == 0) {
            std::printf("line> ");
            std::fflush(stdout);
            char text[200];
            readLine(line, text, sizeof text);
            std::printf("\necho: [%s]\n", text);
        } else if (std::strcmp(cmd, "d") == 0) {
            std::printf("tick\n");
            std::fflush(stdout);
            clock.sleepUs(1000000);
            std::printf("tock\n");
        } else if (std::strcmp(cmd, "f") == 0) {
            std::printf("storing to 0x%08lx\n", static_cast<unsigned long>(ppce::kUnmappedAddress));
            std::fflush(stdout);
            ppce::faultForTest();
            std::printf("no fault\n");
        } else if (std::strcmp(cmd, "r") == 0) {
            std::printf("resetting\n");
            std::fflush(stdout);
            ppce::boardReset();
        } else if (std::strcmp(cmd, "p") == 0) {
            std::printf("powering off\n");
            std::fflush(stdout);
            ppce::boardPowerOff();
        } else {
            std::printf("unknown command [%s]\n", cmd);
        }
    }
}
