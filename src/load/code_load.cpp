// Boot Menu option 4: a new operational code image over XMODEM, checked and
// stored as the active image.
#include <cstdint>
#include <cstdio>

#include "bspapi/bspapi.h"
#include "image/dim.h"
#include "image/stk_format.h"
#include "image/stkimage.h"
#include "load/load.h"
#include "platform/platform.h"
#include "xmodem/xmodem.h"

namespace {

constexpr const char* kReceiveFile = "xcode.bin";
constexpr const char* kRepairImage = "image1";
constexpr size_t kImageNameSize = 40;

bool isLetter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void showUploadedHeader(const stk::OprHeader& h) {
    const stk::OprComponent& op = h.components[stk::kComponentOpCode];
    const stk::OprComponent& boot = h.components[stk::kComponentBootCode];
    plat::printf("\n\nThe following code has been uploaded:\n\n");
    plat::printf("CRC............................................0x%x (%d)\n", unsigned(h.crc),
                 int(h.crc));
    plat::printf("Target Device..................................0x%08x\n",
                 unsigned(h.targetDevice));
    plat::printf("Size...........................................0x%x (%d)\n", unsigned(h.size),
                 int(h.size));
    plat::printf("Number of Components...........................%d\n\n", int(h.numComponents));

    plat::printf("Operational Code Size..........................0x%x (%d)\n", unsigned(op.size),
                 int(op.size));
    plat::printf("Operational Code Offset........................0x%x (%d)\n", unsigned(op.offset),
                 int(op.offset));
    plat::printf("Operational Code FLASH flag....................%d\n", int(op.flashFlag));
    plat::printf("Operational Code CRC...........................0x%X\n\n", unsigned(op.crc));

    plat::printf("Boot Code Version..............................%d\n", int(boot.version));
    plat::printf("Boot Code Size.................................0x%x (%d)\n", unsigned(boot.size),
                 int(boot.size));
    plat::printf("Boot Code Offset...............................0x%x (%d)\n",
                 unsigned(boot.offset), int(boot.offset));
    plat::printf("Boot Code FLASH flag...........................%d\n", int(boot.flashFlag));
    plat::printf("Boot Code CRC..................................0x%X\n\n", unsigned(boot.crc));

    if (isLetter(h.rel))
        plat::printf("VPD - rel %c ", char(h.rel));
    else
        plat::printf("VPD - rel %u ", unsigned(h.rel));
    plat::printf("ver %u maint_lvl %u ", unsigned(h.ver), unsigned(h.maint_lvl));
    if (h.build_num != 0)
        plat::printf("build_num %u\n", unsigned(h.build_num));
    else
        plat::printf("\n");
    // The text fields need not end in a NUL inside the header.
    plat::printf("      Timestamp - %.*s\n      File - %.*s\n", int(sizeof(h.timestamp)),
                 h.timestamp, int(sizeof(h.file)), h.file);
}

// Forces the received file's data onto the flash disk, so that once it takes
// an image's name it is complete even if the power fails right after.
bool syncToDisk(const char* name) {
    int fd = plat::open(name, plat::kOpenReadWrite);
    if (fd < 0) return false;
    bool ok = plat::fsync(fd) == 0;
    if (plat::close(fd) != 0) ok = false;
    return ok;
}

// Puts the checked receive file in place of the active image. The file
// replaces the image by one rename, so the image's name always names either
// the old image or the complete new one, and nothing is copied: the flash
// disk needs no room for a second copy. The image list keeps its states.
bool storeOverActiveImage(const char* activeName) {
    // Only "image1" and "image2" are images; anything else is never replaced.
    int index = 0;
    if (bspapiImageFileNameValid(activeName, &index) != 1) {
        plat::unlink(kReceiveFile);
        return false;
    }
    if (!syncToDisk(kReceiveFile) || plat::rename(kReceiveFile, activeName) != 0) {
        plat::unlink(kReceiveFile);
        return false;
    }
    // The name is listed already: the list is only confirmed, not rewritten.
    return bspapiImageAdd(activeName, activeName) == 0;
}

}  // namespace

int load_operational_code(uint32_t targetDevice) {
    plat::unlink(kReceiveFile);
    plat::printf("Ready to receive the file with XMODEM/CRC....\n");

    char args[64];
    std::snprintf(args, sizeof(args), "-cbrke %s", kReceiveFile);
    if (xmodem(args) == -1) {
        plat::printf("Error while receiving file with XMODEM.\n");
        // A sender that stopped in mid-file leaves a partial file.
        plat::unlink(kReceiveFile);
        return 1;
    }

    plat::printf("\n\nXMODEM transfer complete, checking CRC....\n");
    int fd = plat::open(kReceiveFile, plat::kOpenRead);
    if (fd < 0) {
        plat::printf("ERROR: Can't open file %s\n", kReceiveFile);
        plat::unlink(kReceiveFile);
        return 1;
    }
    uint8_t first[stk::kFileCrcPrefix] = {};
    long got = plat::read(fd, first, sizeof(first));
    plat::close(fd);
    stk::FileCrcSpan span;
    // A file too short to say what its CRC covers cannot be checked at all.
    if (got != long(sizeof(first)) || !stk::fileCrcSpan(first, sizeof(first), span)) {
        plat::printf("ERROR: Can't read file %s\n", kReceiveFile);
        plat::unlink(kReceiveFile);
        return 2;
    }

    if (file_crc_compute(kReceiveFile, span.length) != span.storedCrc) {
        plat::printf("ERROR: Operational code CRC is not valid.\n");
        plat::unlink(kReceiveFile);
        return 1;
    }
    plat::printf("Verified operational code CRC.\n");

    stk::OprHeader header;
    if (bspapiOprHeaderRead(kReceiveFile, &header) != 0) return 1;

    if (header.size < stk::kImageMinSize || header.size > stk::kImageMaxSize) {
        plat::printf("ERROR: Code image size of %d bytes is invalid.\n", int(header.size));
        plat::unlink(kReceiveFile);
        return 1;
    }
    if (bspapiValidateImageVersion(kReceiveFile) != 1) {
        plat::unlink(kReceiveFile);
        return 1;
    }
    if (header.targetDevice != targetDevice) {
        plat::printf("ERROR: Operational code target %x does not match this device.\n",
                     unsigned(header.targetDevice));
        plat::unlink(kReceiveFile);
        return 1;
    }

    showUploadedHeader(header);
    plat::printf("Storing Operational code in Flash. This may take several minutes...\n\n");

    char activeName[kImageNameSize] = {};
    if (bspapiActiveImageFileNameGet(activeName) != 0) {
        plat::printf("Error obtaining active image name, reinitializing dim...\n");
        if (!syncToDisk(kReceiveFile) || plat::rename(kReceiveFile, kRepairImage) != 0) {
            plat::unlink(kReceiveFile);
            plat::printf("ERROR: Operational code update failed.\n");
            return 1;
        }
        dimInitialize();
        return 0;
    }

    if (!storeOverActiveImage(activeName)) {
        plat::printf("ERROR: Operational code update failed.\n");
        return 1;
    }
    return 0;
}
