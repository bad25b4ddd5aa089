// Small file helpers of the image store.
#include "image/image_io.h"

#include <cstdint>

#include "platform/platform.h"

namespace imageio {

long readFully(int fd, void* buffer, size_t n) {
    auto* p = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < n) {
        long got = plat::read(fd, p + done, n - done);
        if (got < 0) return done == 0 ? -1 : static_cast<long>(done);
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<long>(done);
}

long writeFully(int fd, const void* buffer, size_t n) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    while (done < n) {
        long put = plat::write(fd, p + done, n - done);
        if (put < 0) return done == 0 ? -1 : static_cast<long>(done);
        if (put == 0) break;
        done += static_cast<size_t>(put);
    }
    return static_cast<long>(done);
}

void copyField(char* dst, const char* src, size_t width) {
    size_t i = 0;
    for (; i < width && src[i] != '\0'; ++i) dst[i] = src[i];
    dst[i] = '\0';
}

}  // namespace imageio
