#include "image_show.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "image/stk_format.h"

namespace stkimage {

namespace {

// A text field of the header as a terminal can show it: control characters
// and bytes above 0x7e appear as \xNN escapes instead of acting on the screen.
std::string fieldText(const char* field, size_t size) {
    std::string text;
    for (size_t i = 0; i < size && field[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += char(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            text += esc;
        }
    }
    return text;
}

// The lines of the Boot Menu's header display, from the File Name on.
void printHeader(const std::string& name, const stk::OprHeader& h, std::FILE* out) {
    const stk::OprComponent& c = h.components[stk::kComponentOpCode];
    const stk::OprComponent& b = h.components[stk::kComponentBootCode];
    std::fprintf(out, "File Name......................................%s\n", name.c_str());
    std::fprintf(out, "CRC............................................0x%x (%d)\n", h.crc, h.crc);
    std::fprintf(out, "Target Device..................................0x%08x\n", h.targetDevice);
    std::fprintf(out, "Size...........................................0x%x (%d)\n", h.size,
                 int(h.size));
    std::fprintf(out, "Number of Components...........................%d\n\n",
                 int(h.numComponents));
    std::fprintf(out, "Operational Code Size..........................0x%x (%d)\n", c.size,
                 int(c.size));
    std::fprintf(out, "Operational Code Offset........................0x%x (%d)\n", c.offset,
                 int(c.offset));
    std::fprintf(out, "Operational Code FLASH flag....................%d\n", int(c.flashFlag));
    std::fprintf(out, "Operational Code CRC...........................0x%X\n", c.crc);
    std::fprintf(out, "Operational Compression flag...................%d %s",
                 int(c.compressionFlag),
                 c.compressionFlag == stk::kCompressionLzma ? "(lzma)\n\n" : "(gzip)\n\n");
    if (b.size != 0) {
        std::fprintf(out, "Boot Code Version..............................%d\n", int(b.version));
        std::fprintf(out, "Boot Code Size.................................0x%x (%d)\n", b.size,
                     int(b.size));
        std::fprintf(out, "Boot Code Offset...............................0x%x (%d)\n", b.offset,
                     int(b.offset));
        std::fprintf(out, "Boot Code FLASH flag...........................%d\n", int(b.flashFlag));
        std::fprintf(out, "Boot Code CRC..................................0x%X\n\n", b.crc);
    }
    if (std::isalpha(h.rel))
        std::fprintf(out, "VPD - rel %c ", h.rel);
    else
        std::fprintf(out, "VPD - rel %u ", unsigned(h.rel));
    std::fprintf(out, "ver %u maint_lvl %u ", unsigned(h.ver), unsigned(h.maint_lvl));
    if (h.build_num != 0)
        std::fprintf(out, "build_num %u\n", unsigned(h.build_num));
    else
        std::fprintf(out, "\n");
    std::fprintf(out, "      Timestamp - %s\n      File - %s\n",
                 fieldText(h.timestamp, sizeof h.timestamp).c_str(),
                 fieldText(h.file, sizeof h.file).c_str());
}

// The image header at `base`, with component offsets made relative to the
// file as the boot program shows them.
bool readHeaderAt(const Bytes& file, uint64_t base, stk::OprHeader& h, std::string& reason) {
    if (base > file.size() || file.size() - base < stk::kOprHeaderSize) {
        reason = "no complete image header at offset " + std::to_string(base);
        return false;
    }
    stk::decodeOprHeader(file.data() + base, h);
    if (h.numComponents > stk::kOprComponentCount) {
        reason = "image header at offset " + std::to_string(base) + " names " +
                 std::to_string(h.numComponents) + " components (at most 10)";
        return false;
    }
    for (uint32_t i = 0; i < h.numComponents; ++i) h.components[i].offset += uint32_t(base);
    return true;
}

}  // namespace

bool showImage(const std::string& name, const Bytes& file, std::FILE* out, std::string& reason) {
    if (file.size() < stk::kStkFileHeaderFixedSize) {
        reason = "the file is only " + std::to_string(file.size()) + " bytes long";
        return false;
    }
    stk::FileCrcSpan span;
    if (stk::fileCrcSpan(file.data(), file.size(), span) && span.length > file.size())
        std::fprintf(stderr, "stkimage: warning: %s is truncated: %zu of %u bytes\n", name.c_str(),
                     file.size(), span.length);
    if (!stk::hasStkFileHeader(file.data(), file.size())) {
        stk::OprHeader h;
        if (!readHeaderAt(file, 0, h, reason)) return false;
        printHeader(name, h, out);
        return true;
    }
    stk::StkFileHeader fh;
    int records = stk::decodeStkFileHeader(file.data(), file.size(), fh);
    std::fprintf(out, "STK file header\n");
    std::fprintf(out, "File CRC.......................................0x%x (%d)\n", fh.crc, fh.crc);
    std::fprintf(out, "Total Length...................................0x%x (%d)\n", fh.totalLength,
                 int(fh.totalLength));
    std::fprintf(out, "Version........................................%u.%u.%u.%u\n",
                 unsigned(fh.rel), unsigned(fh.ver), unsigned(fh.maint_lvl),
                 unsigned(fh.build_num));
    std::fprintf(out, "Header Length..................................%u\n", fh.headerLength);
    std::fprintf(out, "Image Records..................................%u\n", fh.recordCount);
    for (int i = 0; i < records; ++i)
        std::fprintf(out, "  record %d: image offset 0x%x, target device 0x%08x, flag %u\n", i + 1,
                     fh.records[i].imageOffset, fh.records[i].targetDevice,
                     fh.records[i].recordFlag);
    if (records <= 0) {
        reason = "the STK file header lists no image";
        return false;
    }
    for (int i = 0; i < records; ++i) {
        stk::OprHeader h;
        if (!readHeaderAt(file, fh.records[i].imageOffset, h, reason)) return false;
        std::fprintf(out, "\nImage of record %d\n", i + 1);
        printHeader(name, h, out);
    }
    return true;
}

}  // namespace stkimage
