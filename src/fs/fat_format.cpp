// Boot sector, volume creation, short and long names and DOS times of the FAT
// format described in fat_format.h.
#include "fs/fat_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fs/bytes.h"
#include "platform/clock.h"

namespace fs {

namespace {

constexpr uint32_t kFat12MaxClusters = 4084, kFat16MaxClusters = 65524;
// Clusters a new FAT16 volume aims at most for: fewer, larger clusters keep
// the table small; FAT16 needs at least 4085.
constexpr uint32_t kFat16TargetClusters = 16384;

uint32_t tableBytes(FatType type, uint32_t entries) {
    return type == FatType::Fat12 ? (entries * 3 + 1) / 2 : entries * 2;
}

bool shortChar(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != 0 && std::strchr("!#$%&'()-@^_`{}~", c) != nullptr);
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}
char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

// One part of an 8.3 name: fits `width` in one case; sets *lowerCase.
bool shortPart(const std::string& part, size_t width, uint8_t* out, bool* lowerCase) {
    bool hasLower = false, hasUpper = false;
    if (part.size() > width) return false;
    for (char c : part) {
        hasLower |= c >= 'a' && c <= 'z';
        hasUpper |= c >= 'A' && c <= 'Z';
        if (!shortChar(uint8_t(upper(c)))) return false;
    }
    if (hasLower && hasUpper) return false;
    std::memset(out, ' ', width);
    for (size_t i = 0; i < part.size(); ++i) out[i] = uint8_t(upper(part[i]));
    *lowerCase = hasLower;
    return true;
}

}  // namespace

bool parseBootSector(const uint8_t* b, uint32_t deviceSectors, FatGeometry* g) {
    *g = FatGeometry{};
    uint32_t spc = b[13];
    g->sectorsPerCluster = spc;
    g->reservedSectors = getLe16(b + 14);
    g->fatCount = b[16];
    g->rootEntries = getLe16(b + 17);
    g->totalSectors = getLe16(b + 19) ? getLe16(b + 19) : getLe32(b + 32);
    g->media = b[21];
    g->fatSectors = getLe16(b + 22);
    if (getLe16(b + 11) != kSectorSize || spc == 0 || spc > 128 || (spc & (spc - 1)) ||
        g->reservedSectors == 0 || g->fatCount < 1 || g->fatCount > 2 || g->rootEntries == 0 ||
        g->fatSectors == 0 || b[510] != 0x55 || b[511] != 0xAA || g->totalSectors > deviceSectors)
        return false;
    g->rootSectors = (g->rootEntries * kEntrySize + kSectorSize - 1) / kSectorSize;
    g->firstRootSector = g->reservedSectors + g->fatCount * g->fatSectors;
    g->firstDataSector = g->firstRootSector + g->rootSectors;
    if (g->firstDataSector >= g->totalSectors) return false;
    g->clusterCount = (g->totalSectors - g->firstDataSector) / spc;
    if (g->clusterCount == 0 || g->clusterCount > kFat16MaxClusters) return false;
    g->type = g->clusterCount <= kFat12MaxClusters ? FatType::Fat12 : FatType::Fat16;
    if (tableBytes(g->type, g->clusterCount + 2) > g->fatSectors * kSectorSize) return false;
    if (b[38] == 0x29) {
        g->volumeId = getLe32(b + 39);
        g->label.assign(reinterpret_cast<const char*>(b + 43), 11);
        while (!g->label.empty() && g->label.back() == ' ') g->label.pop_back();
    }
    return true;
}

int makeFatVolume(BlockDevice& dev, uint32_t fatCount, uint32_t volumeId) {
    uint32_t total = dev.sectorCount();
    if (fatCount < 1 || fatCount > 2 || total > 0xFFFFFFFFu / 2) return -EINVAL;
    FatGeometry g;
    g.totalSectors = total;
    g.reservedSectors = 1;
    g.fatCount = fatCount;
    auto layOut = [&](FatType type, uint32_t spc, uint32_t rootSectors) {
        g.type = type;
        g.sectorsPerCluster = spc;
        g.rootSectors = rootSectors;
        g.rootEntries = rootSectors * (kSectorSize / kEntrySize);
        uint32_t overhead = g.reservedSectors + rootSectors;
        if (total <= overhead + fatCount + spc) return false;
        uint32_t clusters = (total - overhead) / spc;
        g.fatSectors = (tableBytes(type, clusters + 2) + kSectorSize - 1) / kSectorSize;
        if (total <= overhead + fatCount * g.fatSectors) return false;
        g.clusterCount = (total - overhead - fatCount * g.fatSectors) / spc;
        g.firstRootSector = g.reservedSectors + fatCount * g.fatSectors;
        g.firstDataSector = g.firstRootSector + rootSectors;
        return g.clusterCount >= 1;
    };
    // Small volumes are FAT12 of one sector per cluster, the rest FAT16.
    if (!layOut(FatType::Fat12, 1, std::clamp<uint32_t>(total / 32, 1, 14))) return -EINVAL;
    if (g.clusterCount > kFat12MaxClusters) {
        uint32_t spc = 1;
        while (spc < 64 && (total - 33) / spc > kFat16TargetClusters) spc *= 2;
        if (!layOut(FatType::Fat16, spc, 32) || g.clusterCount > kFat16MaxClusters) return -EINVAL;
        // Just above FAT12's limit the tables of FAT16 take it back below.
        if (g.clusterCount <= kFat12MaxClusters && !layOut(FatType::Fat12, 2, 14)) return -EINVAL;
    }
    // Every sector reads as zeros; the tables' first entries and the boot
    // sector come last, so an interrupted format leaves no volume.
    int rc = dev.discard(0, total);
    std::vector<uint8_t> sector(kSectorSize, 0);
    sector[0] = 0xF8;
    sector[1] = sector[2] = 0xFF;
    if (g.type == FatType::Fat16) sector[3] = 0xFF;
    for (uint32_t copy = 0; copy < fatCount && rc == 0; ++copy)
        rc = dev.write(g.reservedSectors + copy * g.fatSectors, 1, sector.data());
    if (rc != 0) return rc;

    uint8_t* b = sector.data();
    std::memset(b, 0, kSectorSize);
    const uint8_t jump[3] = {0xEB, 0x3C, 0x90};
    std::memcpy(b, jump, 3);
    std::memcpy(b + 3, "STKBOOT ", 8);
    putLe16(b + 11, kSectorSize);
    b[13] = uint8_t(g.sectorsPerCluster);
    putLe16(b + 14, g.reservedSectors);
    b[16] = uint8_t(fatCount);
    putLe16(b + 17, g.rootEntries);
    putLe16(b + 19, total <= 0xFFFF ? total : 0);
    b[21] = 0xF8;
    putLe16(b + 22, g.fatSectors);
    putLe16(b + 24, 32);  // sectors per track and heads: nominal
    putLe16(b + 26, 64);
    putLe32(b + 32, total <= 0xFFFF ? 0 : total);
    b[36] = 0x80;
    b[38] = 0x29;
    putLe32(b + 39, volumeId);
    std::memcpy(b + 43, "NO NAME    ", 11);
    std::memcpy(b + 54, g.type == FatType::Fat12 ? "FAT12   " : "FAT16   ", 8);
    b[62] = 0xEB;  // not bootable: the boot code loops on itself
    b[63] = 0xFE;
    b[510] = 0x55;
    b[511] = 0xAA;
    return dev.write(0, 1, b);
}

bool shortNameOf(const std::string& name, uint8_t out[11], uint8_t* caseFlags) {
    size_t dot = name.find('.');
    if (dot == 0 || (dot != std::string::npos && name.find('.', dot + 1) != std::string::npos))
        return false;
    std::string base = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (dot != std::string::npos && ext.empty()) return false;
    bool lowerBase = false, lowerExt = false;
    if (base.empty() || !shortPart(base, 8, out, &lowerBase) ||
        !shortPart(ext, 3, out + 8, &lowerExt))
        return false;
    *caseFlags = uint8_t((lowerBase ? kCaseLowerBase : 0) | (lowerExt ? kCaseLowerExt : 0));
    return true;
}

std::string shortNameText(const uint8_t* raw, uint8_t caseFlags) {
    std::string base(reinterpret_cast<const char*>(raw), 8);
    std::string ext(reinterpret_cast<const char*>(raw + 8), 3);
    if (raw[0] == 0x05) base[0] = char(0xE5);
    while (!base.empty() && base.back() == ' ') base.pop_back();
    while (!ext.empty() && ext.back() == ' ') ext.pop_back();
    if (caseFlags & kCaseLowerBase) std::transform(base.begin(), base.end(), base.begin(), lower);
    if (caseFlags & kCaseLowerExt) std::transform(ext.begin(), ext.end(), ext.begin(), lower);
    return ext.empty() ? base : base + "." + ext;
}

void shortNameWithTail(const std::string& name, uint32_t n, uint8_t out[11]) {
    // The basis of a part: short name characters only, in upper case.
    auto basis = [](const std::string& part, size_t width, uint8_t* to) {
        size_t kept = 0;
        for (size_t i = 0; i < part.size() && kept < width; ++i) {
            char c = part[i];
            if (c == ' ' || c == '.') continue;
            char u = upper(c);
            to[kept++] = uint8_t(shortChar(uint8_t(u)) ? u : '_');
        }
        return kept;
    };
    size_t start = name.find_first_not_of('.');
    std::string trimmed = start == std::string::npos ? std::string() : name.substr(start);
    size_t dot = trimmed.rfind('.');
    char tail[12];
    int tailLength = std::snprintf(tail, sizeof tail, "~%u", unsigned(n % 1000000));
    std::memset(out, ' ', 11);
    size_t kept = basis(trimmed.substr(0, dot), 8 - size_t(tailLength), out);
    if (kept == 0) out[kept++] = '_';
    std::memcpy(out + kept, tail, size_t(tailLength));
    if (dot != std::string::npos) basis(trimmed.substr(dot + 1), 3, out + 8);
}

uint8_t longNameChecksum(const uint8_t* raw) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + raw[i]);
    return sum;
}

int checkName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return -EINVAL;
    if (name.size() > kMaxNameLength) return -ENAMETOOLONG;
    for (char c : name)
        if (uint8_t(c) < 0x20 || std::strchr("\"*/:<>?\\|", c) != nullptr) return -EINVAL;
    if (name.back() == '.' || name.back() == ' ') return -EINVAL;
    return 0;
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

void dosTimeOf(std::time_t t, uint16_t* date, uint16_t* time) {
    std::tm tm = plat::localtime(t);
    int year = tm.tm_year + 1900;
    if (year < 1980) {
        *date = 1 << 5 | 1;  // 1 January 1980
        *time = 0;
        return;
    }
    year = std::min(year, 2107);
    *date = uint16_t((year - 1980) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    *time = uint16_t(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
}

std::time_t timeOfDos(uint16_t date, uint16_t time) {
    std::tm tm{};
    tm.tm_year = 80 + (date >> 9);
    tm.tm_mon = std::max(1, (date >> 5) & 15) - 1;
    tm.tm_mday = std::max(1, date & 31);
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 63;
    tm.tm_sec = (time & 31) * 2;
    return plat::mktime(&tm);
}

}  // namespace fs
