// Small POSIX helpers shared by the pseudo-terminal harness files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace stktest::posix {

inline uint64_t monoMs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

inline void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Writes what the descriptor takes now; a socket whose reader has gone gives
// EPIPE instead of a signal.
inline ssize_t writeSome(int fd, const char* p, size_t n) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0 && errno == ENOTSOCK) r = ::write(fd, p, n);
    return r;
}

inline void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits for a child with a time-out; kills it when the time runs out.
inline int reap(pid_t pid, int timeoutMs, bool* timedOut) {
    uint64_t deadline = monoMs() + uint64_t(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -1;
        if (monoMs() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            if (timedOut) *timedOut = true;
            return -1;
        }
        ::usleep(2000);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace stktest::posix
