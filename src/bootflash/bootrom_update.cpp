// The boot program replaces itself: the boot code carried by the active image
// is checked, written into the boot flash window and read back.
#include <cstring>
#include <memory>

#include "bootflash/bootflash.h"
#include "image/dim.h"
#include "image/image_io.h"
#include "image/image_names.h"
#include "image/stk_format.h"
#include "image/stkimage.h"
#include "osapi/status_codes.h"
#include "platform/platform.h"

namespace {

constexpr const char* kBootUpdateMarker = "bootupdate.dat";
constexpr uint32_t kWriteChunk = 0x10000;
constexpr int kPasses = 3;
constexpr uint32_t kMaxImageSizeOverHeader = 0xFFFB3C;
constexpr uint32_t kThisTargetDevice = 0x00508541;

struct FreeWithPlatform {
    void operator()(uint8_t* p) const { plat::free(p); }
};
using HeapBuffer = std::unique_ptr<uint8_t, FreeWithPlatform>;

// Reads the first 16 bytes of the image; false (message printed) on failure.
// A short read leaves the rest zero.
bool readImageStart(const char* name, uint8_t* first) {
    int fd = plat::open(name, plat::kOpenReadWrite);
    if (fd < 0) {
        plat::printf("ERROR: Can't open file %s\n", name);
        return false;
    }
    long got = plat::read(fd, first, stk::kFileCrcPrefix);
    plat::close(fd);
    if (got < 0) {
        plat::printf("ERROR: Can't read file %s\n", name);
        return false;
    }
    return true;
}

// The image's header checks; true when it carries boot code that fits.
bool bootCodeUsable(const OprHeader& header) {
    if (header.size - uint32_t(stk::kOprHeaderSize) > kMaxImageSizeOverHeader) {
        plat::printf("ERROR: Code image size of %d bytes is invalid.\n", int(header.size));
        return false;
    }
    if (header.targetDevice != kThisTargetDevice) {
        plat::printf("ERROR: Operational code target %x does not match this device.\n",
                     header.targetDevice);
        return false;
    }
    const OprComponent& boot = header.components[stk::kComponentBootCode];
    if (boot.size == 0) {
        plat::printf(" Operational code doesn't contain bootcode \n");
        return false;
    }
    // Larger boot code would run past the window's end: refused before anything
    // is erased, so the boot program in flash stays intact.
    if (boot.size > kBootFlashSize) {
        plat::printf("ERROR: Boot code of %u bytes does not fit the boot flash of %u bytes.\n",
                     boot.size, kBootFlashSize);
        return false;
    }
    return true;
}

// Reads the boot code component into a new buffer; empty on failure (message printed).
HeapBuffer readBootCode(const char* name, const OprComponent& boot) {
    HeapBuffer code(static_cast<uint8_t*>(plat::malloc(boot.size)));
    if (!code) {
        plat::printf(
            "\nERROR!!\nCould not allocate temporary memory buffer for Boot Code copy.!\n");
        return code;
    }
    int fd = plat::open(name, plat::kOpenRead);
    if (fd < 0) {
        plat::printf("\n\nERROR!!\nCould not open %s file.\n\n", name);
        return nullptr;
    }
    long start = long(boot.offset) + long(stk::kOprHeaderSize);
    bool ok = plat::lseek(fd, start, 0 /* from the start */) == start &&
              imageio::readFully(fd, code.get(), boot.size) == long(boot.size);
    plat::close(fd);
    if (!ok) {
        plat::printf("\n\nERROR!!\nCould not read %s file.\n\n", name);
        return nullptr;
    }
    return code;
}

}  // namespace

int BootRomBootCodeUpdate(const uint8_t* code, uint32_t size) {
    plat::printf("Erasing Boot Flash.....");
    plat::taskLock();
    if (Flash_Erase_Boot() != 0) {
        plat::taskUnlock();
        plat::printf("\nBoot Flash erase FAILURE. \n");
        return 1;
    }
    plat::printf("Done.\n");
    for (uint32_t offset = 0; offset < size;) {
        uint32_t chunk = size - offset < kWriteChunk ? size - offset : kWriteChunk;
        // The chip programs whole words: an odd last byte goes out with the
        // erased value 0xFF beside it, which leaves the byte after the code as
        // it was.
        uint32_t even = chunk & ~1u;
        if (even > 0) Flash_Write_Boot(code + offset, offset, even);
        if (chunk & 1) {
            const uint8_t lastWord[2] = {code[offset + chunk - 1], 0xFF};
            Flash_Write_Boot(lastWord, offset + even, 2);
        }
        offset += chunk;
        plat::printf("Wrote 0x%x bytes.\n", offset);
    }
    plat::taskUnlock();
    plat::printf("Validating Flash.....");
    for (uint32_t i = 0; i < size; ++i) {
        uint8_t stored = 0;
        if (!plat::busRead8(kBootFlashStart + i, &stored) || stored != code[i]) {
            plat::printf("FAILURE at location %d. \n", int(i));
            return 2;
        }
    }
    plat::printf("Passed\n");
    return 0;
}

int bootromUpdateBootcode() {
    char name[40] = {};
    dimActiveImageFileNameGet(name);
    name[sizeof name - 1] = '\0';
    plat::printf("\n\nValidating %s....", name);

    uint8_t first[stk::kFileCrcPrefix] = {};
    if (!readImageStart(name, first)) return 1;
    bool stkFile =
        stk::getBe16(first + 2) == stk::kStkMarker && stk::getBe32(first + 4) == stk::kStkMagic;
    uint32_t crcLength = stk::getBe32(first + (stkFile ? 12 : 8));
    if (file_crc_compute(name, crcLength) != stk::getBe16(first)) {
        plat::printf("ERROR: Operational code CRC is not valid.\n");
        return 1;
    }
    OprHeader header{};
    bspapiOprHeaderRead(name, &header);
    if (!bootCodeUsable(header)) return 1;
    const OprComponent& boot = header.components[stk::kComponentBootCode];

    plat::printf("OK\nExtracting boot code from image...");
    HeapBuffer code = readBootCode(name, boot);
    if (!code) return 1;
    uint16_t crc = bspapiCalcCrc(code.get(), boot.size);
    if (crc != boot.crc) {
        plat::printf("\n\nERROR!!\nInvalid CRC computed = %x, expected = %x.\n\n", crc, boot.crc);
        return 1;
    }
    plat::printf("CRC valid\n");
    plat::printf("Updating boot code. Do not power cycle the switch!\n");
    for (int pass = 1; pass <= kPasses; ++pass) {
        if (BootRomBootCodeUpdate(code.get(), boot.size) == 0) {
            code.reset();
            plat::remove(kBootUpdateMarker);
            plat::printf("Flash update completed.\n");
            return 0;
        }
        plat::printf("FLASH PROGRAMMING ERROR! ");
        if (pass < kPasses) plat::printf("retrying... \n");
    }
    plat::printf("aborting... \n");
    plat::printf("FLASH PROGRAMMING ERROR! Do not reset switch without reprogramming bootrom.");
    code.reset();
    plat::remove(kBootUpdateMarker);
    return 1;
}

int bspapiBootCodeUpdate(const char*) {
    // The boot program programs nothing on an activation; the image list is
    // read again so that the activation shows.
    dimInitialize();
    return 1;
}
