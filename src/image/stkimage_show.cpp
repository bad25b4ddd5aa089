// The active image's file CRC check and the console display of its header.
#include <cctype>

#include "image/image_io.h"
#include "image/image_names.h"
#include "image/stkimage.h"
#include "osapi/status_codes.h"
#include "platform/platform.h"

namespace {

// The active image's file name, "image1" when the list has none.
void activeImageName(char* name) {
    if (bspapiActiveImageFileNameGet(name) != 0) {
        plat::printf("ActiveImage could not be found\n");
        imageio::copyField(name, kImage1FileName, kBspMaxImageNameLen);
    }
}

}  // namespace

int check_oprcrc_in_flash() {
    char name[kBspImageNameBufSize] = {};
    activeImageName(name);
    int fd = plat::open(name, plat::kOpenRead);
    if (fd < 0) {
        plat::printf("\nUnable to open %s\n", name);
        return 1;
    }
    uint8_t first[stk::kFileCrcPrefix] = {};
    long got = imageio::readFully(fd, first, sizeof first);
    plat::close(fd);
    stk::FileCrcSpan span;
    if (got < 0 || !stk::fileCrcSpan(first, static_cast<size_t>(got), span)) return 1;
    if (span.length < stk::kImageMinSize || span.length > stk::kImageMaxSize) return 1;

    auto* buffer = static_cast<uint8_t*>(plat::malloc(span.length));
    if (buffer == nullptr) {
        plat::printf("\nError trying to allocate mem for file %s \n", name);
        return 1;
    }
    fd = plat::open(name, plat::kOpenRead);
    if (fd < 0) {
        plat::printf("\nUnable to open %s\n", name);
        plat::free(buffer);
        return 1;
    }
    got = imageio::readFully(fd, buffer, span.length);
    plat::close(fd);
    // A file shorter than its stated length is not intact; its missing bytes
    // are never part of a CRC.
    bool complete = got == static_cast<long>(span.length);
    uint16_t crc = complete ? bspapiCalcCrc(buffer + 2, span.length - 2) : 0;
    plat::free(buffer);
    return complete && crc == span.storedCrc ? 0 : 1;
}

void print_vpd_in_flash() {
    char name[kBspImageNameBufSize] = {};
    activeImageName(name);
    OprHeader h;
    if (bspapiOprHeaderRead(name, &h) != 0) {
        plat::printf("\nUnable to open/validate image file %s!\n\n", name);
        return;
    }
    const OprComponent& op = h.components[stk::kComponentOpCode];
    const OprComponent& boot = h.components[stk::kComponentBootCode];
    plat::printf("\n\n\nThe following image is in the Flash File System:\n\n");
    plat::printf("File Name......................................%s\n", name);
    plat::printf("CRC............................................0x%x (%d)\n", h.crc, h.crc);
    plat::printf("Target Device..................................0x%08x\n", h.targetDevice);
    plat::printf("Size...........................................0x%x (%d)\n", h.size, h.size);
    plat::printf("Number of Components...........................%d\n\n", h.numComponents);
    plat::printf("Operational Code Size..........................0x%x (%d)\n", op.size, op.size);
    plat::printf("Operational Code Offset........................0x%x (%d)\n", op.offset,
                 op.offset);
    plat::printf("Operational Code FLASH flag....................%d\n", op.flashFlag);
    plat::printf("Operational Code CRC...........................0x%X\n", op.crc);
    plat::printf("Operational Compression flag...................%d ", op.compressionFlag);
    plat::printf(op.compressionFlag == stk::kCompressionLzma ? "(lzma)\n\n" : "(gzip)\n\n");
    if (boot.size != 0) {
        plat::printf("Boot Code Version..............................%d\n", boot.version);
        plat::printf("Boot Code Size.................................0x%x (%d)\n", boot.size,
                     boot.size);
        plat::printf("Boot Code Offset...............................0x%x (%d)\n", boot.offset,
                     boot.offset);
        plat::printf("Boot Code FLASH flag...........................%d\n", boot.flashFlag);
        plat::printf("Boot Code CRC..................................0x%X\n\n", boot.crc);
    }
    if (std::isalpha(h.rel) && h.rel < 0x80)
        plat::printf("VPD - rel %c ", h.rel);
    else
        plat::printf("VPD - rel %u ", h.rel);
    plat::printf("ver %u maint_lvl %u ", h.ver, h.maint_lvl);
    if (h.build_num != 0)
        plat::printf("build_num %u\n", h.build_num);
    else
        plat::printf("\n");
    plat::printf("      Timestamp - %s\n      File - %s\n", h.timestamp, h.file);
}
