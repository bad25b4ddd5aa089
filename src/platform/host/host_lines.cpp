#include "platform/host/host_lines.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/host/board.h"

namespace plat::hostline {

namespace {

struct BaudEntry {
    int bps;
    speed_t code;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

}  // namespace

bool baudCode(int bps, speed_t* code) {
    for (const auto& e : kBauds)
        if (e.bps == bps) {
            *code = e.code;
            return true;
        }
    return false;
}

int baudValue(speed_t code) {
    for (const auto& e : kBauds)
        if (e.code == code) return e.bps;
    return -1;
}

long writeAllFd(int fd, const char* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            struct pollfd pw {
                fd, POLLOUT, 0
            };
            ::poll(&pw, 1, 100);
            continue;
        }
        if (w <= 0) return -1;
        done += size_t(w);
    }
    return long(n);
}

bool pollReadable(int fd, int64_t timeoutUs) {
    Clock& clock = board().clock();
    uint64_t deadline = timeoutUs < 0 ? 0 : clock.nowUs() + uint64_t(timeoutUs);
    for (;;) {
        int ms = -1;
        if (timeoutUs >= 0) {
            uint64_t now = clock.nowUs();
            ms = now >= deadline ? 0 : int((deadline - now + 999) / 1000);
        }
        struct pollfd p {
            fd, POLLIN, 0
        };
        int r = ::poll(&p, 1, ms);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

}  // namespace plat::hostline
