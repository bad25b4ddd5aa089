// The system calls newlib's C library (built for powerpc-eabi, which calls
// them by their plain names) relies on: the heap for malloc,
// the console UART for stdio's descriptors 0-2, the time base for time(), and
// exit() as a power-off. There is no file system below newlib: the boot
// program's files go through the platform's own flash disk.
#include <errno.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "platform/ppce500/board_control.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/timebase.h"
#include "platform/ppce500/uart.h"

using namespace ppce;

namespace {

uintptr_t heapTop = 0;  // 0 until the first call

bool isConsole(int fd) {
    return fd >= 0 && fd <= 2;
}

}  // namespace

extern "C" {

void* sbrk(ptrdiff_t increment) {
    if (heapTop == 0) heapTop = heapStart();
    uintptr_t old = heapTop;
    bool fits = increment >= 0 ? uintptr_t(increment) <= heapEnd() - old
                               : uintptr_t(-increment) <= old - heapStart();
    if (!fits) {
        errno = ENOMEM;  // malloc returns null; the caller reports it
        return reinterpret_cast<void*>(-1);
    }
    heapTop = old + uintptr_t(increment);
    return reinterpret_cast<void*>(old);
}

int write(int fd, const void* buf, size_t len) {
    if (fd != 1 && fd != 2) {
        errno = EBADF;
        return -1;
    }
    const auto* p = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < len; ++i) {
        if (p[i] == '\n') uart::putByte('\r');  // stdio output is text for a terminal
        uart::putByte(p[i]);
    }
    return int(len);
}

int read(int fd, void* buf, size_t len) {
    if (fd != 0) {
        errno = EBADF;
        return -1;
    }
    auto* p = static_cast<uint8_t*>(buf);
    size_t got = 0;
    while (got < len && (got == 0 || uart::byteReady())) {
        for (uint64_t start = timebaseUs(); !uart::byteReady();)
            if (timebaseUs() - start >= kSpinBeforeDozeUs) idleTick();
        p[got++] = *reinterpret_cast<volatile uint8_t*>(uintptr_t(kUartBase));
    }
    return int(got);
}

int close(int fd) {
    if (isConsole(fd)) return 0;
    errno = EBADF;
    return -1;
}

int fstat(int fd, struct stat* st) {
    if (!isConsole(fd)) {
        errno = EBADF;
        return -1;
    }
    *st = {};
    st->st_mode = S_IFCHR;
    return 0;
}

int isatty(int fd) {
    if (isConsole(fd)) return 1;
    errno = EBADF;
    return 0;
}

off_t lseek(int, off_t, int) {
    errno = ESPIPE;
    return -1;
}

int open(const char*, int, ...) {
    errno = ENOSYS;
    return -1;
}

int unlink(const char*) {
    errno = ENOSYS;
    return -1;
}

int link(const char*, const char*) {
    errno = ENOSYS;
    return -1;
}

int stat(const char*, struct stat*) {
    errno = ENOSYS;
    return -1;
}

int getpid() {
    return 1;
}

int kill(int, int) {
    errno = EINVAL;
    return -1;
}

// Seconds since the board started: newlib's time() has no calendar of its own.
int gettimeofday(struct timeval* tv, void*) {
    uint64_t us = timebaseUs();
    tv->tv_sec = time_t(us / 1000000u);
    tv->tv_usec = suseconds_t(us % 1000000u);
    return 0;
}

[[noreturn]] void _exit(int status) {
    if (status != 0) {
        uart::putText("\nppce500: exit status 0x");
        uart::putHex(uint32_t(status), 8);
        uart::putText("\n");
    }
    boardPowerOff();
}

[[noreturn]] void abort() {
    uart::putText("\nppce500: abort() called\n");
    boardHalt();
}

}  // extern "C"
