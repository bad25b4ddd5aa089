// The console calls of the boot routines, over whichever console device the
// installed board has.
#include "platform/console.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/services.h"

int32_t consoleBaudRate = 9600;

namespace plat {

namespace {
int taskStdIn = 0;
int consoleDescriptor = 0;
STK_RESET_HOOK {
    taskStdIn = 0;
    consoleDescriptor = 0;
    consoleBaudRate = 9600;
}

ConsoleDevice& console() {
    return *services().console;
}
}  // namespace

int vprintf(const char* fmt, va_list ap) {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return n;
    if (size_t(n) < sizeof small) {
        console().write(small, size_t(n));
        return n;
    }
    std::string big(size_t(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    console().write(big.data(), size_t(n));
    return n;
}

int printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vprintf(fmt, ap);
    va_end(ap);
    return n;
}

int eprintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vprintf(fmt, ap);
    va_end(ap);
    return n;
}

int puts(const char* text) {
    size_t n = std::strlen(text);
    console().write(text, n);
    return int(n);
}

int putchar(int c) {
    char ch = char(c);
    console().write(&ch, 1);
    return c & 0xff;
}

void fflush() {}

char* gets(char* buf, size_t size) {
    if (size == 0) return nullptr;
    size_t kept = 0;
    for (;;) {
        char c;
        if (console().read(&c, 1) != 1) return nullptr;
        if (c == '\r' || c == '\n') break;
        if (kept + 1 < size) buf[kept++] = c;
    }
    buf[kept] = '\0';
    return buf;
}

int select(long seconds, long microseconds) {
    int64_t us = seconds < 0 ? -1 : int64_t(seconds) * 1000000 + microseconds;
    return console().waitReadable(us);
}

int selectAnswer(long seconds) {
    return console().waitReadableOrFlush(int64_t(seconds) * 1000000);
}

long conRead(void* buf, size_t n) {
    return console().read(buf, n);
}

long conWrite(const void* buf, size_t n) {
    return console().write(buf, n);
}

int ioctl(int fd, int request, intptr_t arg) {
    if (fd != 0 && fd != 1 && fd != 2 && fd != kConsoleFd) return -1;
    ConsoleDevice& con = console();
    switch (request) {
        case FIOGETOPTIONS:
            return con.options();
        case FIOSETOPTIONS:
            return con.setOptions(int(arg));
        case FIOBAUDRATE:
            return con.setBaud(int(arg));
        case FIOFLUSH:
            return con.flush(true, true);
        case FIORFLUSH:
            return con.flush(true, false);
        case SIO_BAUD_GET: {
            int* out = reinterpret_cast<int*>(arg);
            if (!out) return -1;
            return con.getBaud(out);
        }
        default:
            return -1;
    }
}

int ioTaskStdSet(int /*task*/, int stdFd, int newFd) {
    if (stdFd == 0) taskStdIn = newFd;
    return 0;
}

int consoleFdGet() {
    return consoleDescriptor;
}
void consoleFdSet(int fd) {
    consoleDescriptor = fd;
}

}  // namespace plat
