// The diagnostics image: a raw program kept as "diag_image.stk", loaded over
// the console and started at a fixed address, and the one-word selector file
// that says whether it or the operational code starts at power-up.
#include "launch/diag.h"

#include <cstdio>

#include "launch/handoff.h"
#include "platform/platform.h"
#include "xmodem/xmodem.h"

namespace {

constexpr const char* kSelectorFile = "diag_config.cfg";
constexpr const char* kDiagImageFile = "diag_image.stk";
constexpr const char* kReceiveFile = "xcode.bin";
constexpr const char* kBootCodeFile = "bootcode.bin";
constexpr const char* kReceiveOptions = "-cbrke %s";

constexpr int kDiagnosticsImage = 1;
constexpr int kSystemImage = 2;
constexpr uint32_t kDiagLoadAddress = 0x01000000;
constexpr uint32_t kDiagMaxBytes = 0x1000000;
constexpr int kStartType = 1;

// The selection last read or written; 0 until then.
uint32_t selectorCache = 0;

STK_RESET_HOOK {
    selectorCache = 0;
}

int selection() {
    return selectorCache == kDiagnosticsImage ? kDiagnosticsImage : kSystemImage;
}

// Writes the cache, big-endian, at the start of an open selector file.
bool writeSelector(int fd) {
    uint8_t bytes[4] = {uint8_t(selectorCache >> 24), uint8_t(selectorCache >> 16),
                        uint8_t(selectorCache >> 8), uint8_t(selectorCache)};
    return plat::write(fd, bytes, sizeof bytes) == long(sizeof bytes);
}

}  // namespace

int fellActiveImageGet() {
    if (selectorCache != 0) return selection();
    int fd = plat::open(kSelectorFile, plat::kOpenReadWrite);
    if (fd >= 0) {
        uint8_t bytes[4];
        // A short file leaves the selection unknown (the system image).
        if (plat::read(fd, bytes, sizeof bytes) == long(sizeof bytes))
            selectorCache = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 |
                            uint32_t(bytes[2]) << 8 | bytes[3];
        plat::close(fd);
        return selection();
    }
    fd = plat::creat(kSelectorFile, 0644);
    if (fd < 0) return kSystemImage;
    selectorCache = kSystemImage;
    writeSelector(fd);
    plat::close(fd);
    return kSystemImage;
}

int fellActiveImageSet(int value) {
    if (selectorCache == uint32_t(value)) return 0;
    selectorCache = uint32_t(value);
    int fd = plat::open(kSelectorFile, plat::kOpenReadWrite);
    if (fd < 0) fd = plat::creat(kSelectorFile, 0644);
    if (fd < 0) return -1;
    bool written = writeSelector(fd);
    // A selection that did not reach the disk is not reported as made.
    if (plat::close(fd) != 0) written = false;
    return written ? 0 : -1;
}

int fellDiagImageCrcCheck() {
    int fd = plat::open(kDiagImageFile, plat::kOpenRead);
    if (fd < 0) {
        plat::printf("\nDiagnostic file %s does not exist\n", kDiagImageFile);
        return 1;
    }
    plat::close(fd);
    return 0;
}

int fellDiagImageLoad(uint32_t /*targetDevice*/) {
    plat::unlink(kReceiveFile);
    plat::printf("Ready to receive the file with XMODEM/CRC....\n");
    char options[64];
    std::snprintf(options, sizeof options, kReceiveOptions, kReceiveFile);
    if (xmodem(options) == -1) {
        plat::printf("Error while receiving file with XMODEM.\n");
        return 1;
    }
    plat::printf("\n\nXMODEM transfer complete....\n");
    // Without a received file the old image stays: there is nothing to put
    // in its place. The received file replaces the old image by one rename,
    // never after removing it, so a power cut leaves the old image or the new.
    plat::Stat st;
    bool received = plat::stat(kReceiveFile, &st) == 0;
    if (!received || plat::rename(kReceiveFile, kDiagImageFile) != 0) {
        plat::printf("ERROR: Renaming failed.\n");
        plat::unlink(kReceiveFile);
        return 1;
    }
    return 0;
}

int fellDiagImageRun() {
    plat::unlink(kReceiveFile);
    plat::unlink(kBootCodeFile);
    int fd = plat::open(kDiagImageFile, plat::kOpenRead);
    if (fd < 0) {
        plat::printf("\nError reading %s into memory\n", kDiagImageFile);
        return 1;
    }
    plat::printf("\nReading %s into memory\n", kDiagImageFile);
    // The window below the boot program's area always holds the 16 MiB read.
    uint8_t* window = plat::busMemory(kDiagLoadAddress, kDiagMaxBytes);
    long n = window ? plat::read(fd, window, kDiagMaxBytes) : -1;
    plat::close(fd);
    if (n < 0) {
        plat::printf("\nError reading %s into memory\n", kDiagImageFile);
        return 1;
    }
    launchHandoff(kDiagLoadAddress, kStartType, uint32_t(n));
    return 0;
}
