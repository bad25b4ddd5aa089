// The NVRAM file "nvram.bin": a plain file in place of the board's
// non-volatile RAM, holding exactly what the last set wrote.
#include <cstdint>

#include "load/load.h"
#include "platform/platform.h"

namespace {
constexpr const char* kNvRamFile = "nvram.bin";
}  // namespace

int sysNvRamSet(const char* buffer, int32_t length) {
    // A negative length is refused before the stored content is lost.
    if (length < 0 || (buffer == nullptr && length > 0)) {
        plat::printf("Unable to write to NVRAM file\n");
        return -1;
    }
    int fd = plat::creat(kNvRamFile);
    if (fd < 0) {
        plat::printf("Unable to create NVRAM file\n");
        return -1;
    }
    if (plat::write(fd, buffer, size_t(length)) != long(length)) {
        plat::printf("Unable to write to NVRAM file\n");
        plat::close(fd);
        return -1;
    }
    if (plat::close(fd) != 0) {
        plat::printf("Unable to write to NVRAM file\n");
        return -1;
    }
    return 0;
}

int sysNvRamGet(char* buffer, int32_t length) {
    int fd = plat::open(kNvRamFile, plat::kOpenRead);
    if (fd < 0) {
        plat::printf("Unable to open NVRAM file\n");
        return -1;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        plat::printf("Unable to read from NVRAM file\n");
        plat::close(fd);
        return -1;
    }
    // The file layer may hand the bytes over in more than one piece.
    long total = 0;
    while (total < long(length)) {
        long got = plat::read(fd, buffer + total, size_t(length - total));
        if (got <= 0) break;
        total += got;
    }
    plat::close(fd);
    if (total < long(length)) {
        plat::printf("Unable to read from NVRAM file\n");
        return -1;
    }
    return 0;
}
