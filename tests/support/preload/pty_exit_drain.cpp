// Preloaded into rx by the board build's sessions. rx writes its last ACK and
// at once flushes its terminal on the way out. On a serial line that ACK has
// left through the UART already; on a pseudo-terminal it can still sit in the
// kernel's buffer between the two ends, and the flush throws it away, so the
// boot program on QEMU never sees it and repeats its EOT until it gives up.
// Here a flush of the terminal's output first waits a moment, as the line
// would, so the byte reaches QEMU's end before it is flushed.
#include <dlfcn.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern "C" int tcflush(int fd, int queue) {
    using Flush = int (*)(int, int);
    static const Flush real = reinterpret_cast<Flush>(dlsym(RTLD_NEXT, "tcflush"));
    if (queue != TCIFLUSH && isatty(fd)) {
        const timespec settle{0, 50 * 1000 * 1000};
        nanosleep(&settle, nullptr);
    }
    return real ? real(fd, queue) : -1;
}
