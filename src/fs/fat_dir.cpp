// Directories of the FAT volume: reading entries with their long names,
// looking names up along a path, adding and removing entries, and the
// cluster allocation they share with files. Format: fat_format.h.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "fs/bytes.h"
#include "fs/fat_volume.h"

namespace fs {

namespace {

constexpr uint32_t kEntriesPerSector = kSectorSize / kEntrySize;
constexpr uint32_t kMaxDirSectors = 65536 / kEntriesPerSector;  // 65536 entries
constexpr uint32_t kMaxLongEntries = 20;                        // 255 characters
// Where the 13 characters of a long name entry sit.
constexpr uint8_t kLongCharAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = std::min(path.find('/', start), path.size());
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

}  // namespace

uint32_t FatVolume::Entry::cluster() const {
    return getLe16(raw + 26);
}
uint32_t FatVolume::Entry::size() const {
    return getLe32(raw + 28);
}

int FatVolume::dirSectors(uint32_t dir, std::vector<uint32_t>* sectors) {
    sectors->clear();
    if (dir == 0) {
        for (uint32_t s = 0; s < g_.rootSectors; ++s) sectors->push_back(g_.firstRootSector + s);
        return 0;
    }
    for (uint32_t c = dir; g_.validCluster(c) && sectors->size() < kMaxDirSectors; c = fat_.get(c))
        for (uint32_t k = 0; k < g_.sectorsPerCluster; ++k)
            sectors->push_back(g_.clusterSector(c) + k);
    return 0;
}

int FatVolume::scanDir(uint32_t dir, const std::function<bool(const Entry&)>& fn) {
    std::vector<uint32_t> sectors;
    dirSectors(dir, &sectors);
    uint8_t buf[kSectorSize];
    std::vector<uint16_t> chars;
    uint32_t next = 0, longFirst = 0;  // next long name ordinal expected, 0: none
    uint8_t sum = 0;
    bool inLong = false;
    for (uint32_t si = 0; si < sectors.size(); ++si) {
        if (dev_->read(sectors[si], 1, buf) != 0) return -EIO;
        for (uint32_t k = 0; k < kEntriesPerSector; ++k) {
            const uint8_t* raw = buf + k * kEntrySize;
            uint32_t index = si * kEntriesPerSector + k;
            if (raw[0] == 0) return 0;
            bool longPart = (raw[11] & 0x3F) == kAttrLongName;
            if (raw[0] == kEntryFree || (!longPart && (raw[11] & kAttrVolume))) {
                inLong = false;
                continue;
            }
            if (longPart) {
                uint32_t ordinal = raw[0] & 0x1F;
                if (raw[0] & 0x40) {
                    inLong = ordinal >= 1 && ordinal <= kMaxLongEntries;
                    chars.assign(ordinal * 13, 0xFFFF);
                    sum = raw[13];
                    longFirst = index;
                    next = ordinal;
                } else if (!inLong || ordinal == 0 || ordinal != next || raw[13] != sum) {
                    inLong = false;
                }
                if (inLong && ordinal == next) {
                    for (int j = 0; j < 13; ++j)
                        chars[(ordinal - 1) * 13 + j] = getLe16(raw + kLongCharAt[j]);
                    --next;
                }
                continue;
            }
            Entry e;
            e.dir = dir;
            e.index = e.first = index;
            std::memcpy(e.raw, raw, kEntrySize);
            if (inLong && next == 0 && sum == longNameChecksum(raw)) {
                e.first = longFirst;
                for (uint16_t c : chars) {
                    if (c == 0) break;
                    e.name += c < 0x100 ? char(c) : '?';
                }
            }
            if (e.name.empty()) e.name = shortNameText(raw, raw[12]);
            inLong = false;
            if (!fn(e)) return 0;
        }
    }
    return 0;
}

int FatVolume::lookup(uint32_t dir, const std::string& name, Entry* e) {
    bool found = false;
    int rc = scanDir(dir, [&](const Entry& entry) {
        if (entry.raw[0] == '.' ||
            !(sameName(entry.name, name) || sameName(shortNameText(entry.raw, 0), name)))
            return true;
        *e = entry;
        found = true;
        return false;
    });
    if (rc != 0) return rc;
    return found ? 0 : -ENOENT;
}

int FatVolume::resolve(const std::string& path, Entry* e, bool* root) {
    *root = path.empty();
    if (*root) return 0;
    std::vector<std::string> parts = splitPath(path);
    uint32_t dir = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].empty() || parts[i].size() > kMaxNameLength) return -ENOENT;
        int rc = lookup(dir, parts[i], e);
        if (rc != 0) return rc;
        if (i + 1 < parts.size()) {
            if (!e->isDir()) return -ENOTDIR;
            dir = e->cluster();
            if (!g_.validCluster(dir)) return -EIO;
        }
    }
    return 0;
}

int FatVolume::resolveParent(const std::string& path, uint32_t* dir, std::string* leaf) {
    size_t slash = path.rfind('/');
    *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (slash == std::string::npos) {
        *dir = 0;
        return 0;
    }
    Entry parent;
    bool root = false;
    int rc = resolve(path.substr(0, slash), &parent, &root);
    if (rc != 0) return rc;
    if (!root && !parent.isDir()) return -ENOTDIR;
    *dir = root ? 0 : parent.cluster();
    return root || g_.validCluster(*dir) ? 0 : -EIO;
}

int FatVolume::createEntry(uint32_t dir, const std::string& name, const uint8_t* proto,
                           Entry* out) {
    int rc = checkName(name);
    if (rc != 0) return rc;
    uint8_t shortName[11];
    uint8_t caseFlags = 0;
    bool needLong = !shortNameOf(name, shortName, &caseFlags);
    std::vector<std::array<uint8_t, 11>> taken;
    scanDir(dir, [&](const Entry& e) {
        std::array<uint8_t, 11> n;
        std::memcpy(n.data(), e.raw, 11);
        taken.push_back(n);
        return true;
    });
    auto isTaken = [&](const uint8_t* n) {
        return std::any_of(taken.begin(), taken.end(),
                           [&](const auto& t) { return std::memcmp(t.data(), n, 11) == 0; });
    };
    if (!needLong && isTaken(shortName)) needLong = true;
    if (needLong) {
        caseFlags = 0;
        uint32_t n = 1;
        for (; n < 1000000; ++n) {
            shortNameWithTail(name, n, shortName);
            if (!isTaken(shortName)) break;
        }
        if (n == 1000000) return -ENOSPC;
    }
    uint32_t longCount = needLong ? uint32_t(name.size() + 12) / 13 : 0;
    uint32_t total = longCount + 1;

    // A run of free entries; past the end marker every entry is free.
    std::vector<uint32_t> sectors;
    uint32_t start = 0, run = 0;
    bool atEnd = false;
    uint8_t buf[kSectorSize];
    for (int attempt = 0; attempt < 2 && run < total; ++attempt) {
        dirSectors(dir, &sectors);
        start = run = 0;
        atEnd = false;
        for (uint32_t si = 0; si < sectors.size() && run < total; ++si) {
            if (!atEnd && dev_->read(sectors[si], 1, buf) != 0) return -EIO;
            for (uint32_t k = 0; k < kEntriesPerSector && run < total; ++k) {
                uint8_t first = buf[k * kEntrySize];
                atEnd = atEnd || first == 0;
                if (atEnd || first == kEntryFree) {
                    if (run++ == 0) start = si * kEntriesPerSector + k;
                } else {
                    run = 0;
                }
            }
        }
        if (run < total) {
            if (dir == 0) return -ENOSPC;
            if ((rc = extendDir(dir)) != 0) return rc;
        }
    }
    if (run < total) return -ENOSPC;

    std::vector<uint8_t> entries(total * kEntrySize, 0);
    uint8_t sum = longNameChecksum(shortName);
    for (uint32_t j = 0; j < longCount; ++j) {
        uint8_t* e = &entries[j * kEntrySize];
        uint32_t ordinal = longCount - j;
        e[0] = uint8_t(ordinal | (j == 0 ? 0x40 : 0));
        e[11] = kAttrLongName;
        e[13] = sum;
        for (uint32_t k = 0; k < 13; ++k) {
            size_t at = (ordinal - 1) * 13 + k;
            uint16_t c = at < name.size() ? uint8_t(name[at]) : at == name.size() ? 0 : 0xFFFF;
            putLe16(e + kLongCharAt[k], c);
        }
    }
    uint8_t* shortEntry = &entries[longCount * kEntrySize];
    std::memcpy(shortEntry, proto, kEntrySize);
    std::memcpy(shortEntry, shortName, 11);
    shortEntry[12] = caseFlags;
    if (shortEntry[13] == kRenameSource) shortEntry[13] = 0;
    // Sectors in ascending order: a cut leaves long name parts without their
    // short entry at worst, which the checker removes. An end marker right
    // after the run keeps whatever lies beyond it free.
    uint32_t last = start + total;
    bool markEnd = atEnd && last < sectors.size() * kEntriesPerSector;
    for (uint32_t si = start / kEntriesPerSector; si <= (last - 1 + markEnd) / kEntriesPerSector;
         ++si) {
        if (dev_->read(sectors[si], 1, buf) != 0) return -EIO;
        bool changed = false;
        for (uint32_t k = 0; k < kEntriesPerSector; ++k) {
            uint32_t index = si * kEntriesPerSector + k;
            uint8_t* slot = buf + k * kEntrySize;
            if (index >= start && index < last) {
                std::memcpy(slot, &entries[(index - start) * kEntrySize], kEntrySize);
                changed = true;
            } else if (markEnd && index == last && slot[0] != 0) {
                std::memset(slot, 0, kEntrySize);
                changed = true;
            }
        }
        if (changed && dev_->write(sectors[si], 1, buf) != 0) return -EIO;
    }
    out->dir = dir;
    out->first = start;
    out->index = start + longCount;
    std::memcpy(out->raw, shortEntry, kEntrySize);
    out->name = name;
    return 0;
}

int FatVolume::removeEntry(const Entry& e) {
    // The short entry goes first (with its long name parts in the same
    // sector): a cut leaves only long name parts behind.
    std::vector<uint32_t> sectors;
    dirSectors(e.dir, &sectors);
    uint8_t buf[kSectorSize];
    uint32_t shortSector = e.index / kEntriesPerSector;
    for (uint32_t si = shortSector + 1; si-- > e.first / kEntriesPerSector;) {
        if (si >= sectors.size() || dev_->read(sectors[si], 1, buf) != 0) return -EIO;
        for (uint32_t i = std::max(e.first, si * kEntriesPerSector);
             i <= e.index && i < (si + 1) * kEntriesPerSector; ++i)
            buf[(i % kEntriesPerSector) * kEntrySize] = kEntryFree;
        if (dev_->write(sectors[si], 1, buf) != 0) return -EIO;
    }
    return 0;
}

int FatVolume::updateEntry(uint32_t dir, uint32_t index,
                           const std::function<void(uint8_t*)>& change) {
    std::vector<uint32_t> sectors;
    dirSectors(dir, &sectors);
    uint8_t buf[kSectorSize];
    uint32_t si = index / kEntriesPerSector;
    if (si >= sectors.size() || dev_->read(sectors[si], 1, buf) != 0) return -EIO;
    change(buf + (index % kEntriesPerSector) * kEntrySize);
    return dev_->write(sectors[si], 1, buf) == 0 ? 0 : -EIO;
}

int FatVolume::readEntry(uint32_t dir, uint32_t index, uint8_t* raw) {
    std::vector<uint32_t> sectors;
    dirSectors(dir, &sectors);
    uint8_t buf[kSectorSize];
    uint32_t si = index / kEntriesPerSector;
    if (si >= sectors.size() || dev_->read(sectors[si], 1, buf) != 0) return -EIO;
    std::memcpy(raw, buf + (index % kEntriesPerSector) * kEntrySize, kEntrySize);
    return 0;
}

int FatVolume::extendDir(uint32_t dir) {
    uint32_t last = dir;
    for (uint32_t steps = 0; steps < g_.clusterCount; ++steps) {
        uint32_t next = fat_.get(last);
        if (!g_.validCluster(next)) break;
        last = next;
    }
    std::vector<uint32_t> sectors;
    dirSectors(dir, &sectors);
    if (sectors.size() + g_.sectorsPerCluster > kMaxDirSectors) return -ENOSPC;
    uint32_t c = allocCluster(last);
    if (c == 0) return -ENOSPC;
    int rc = dev_->discard(g_.clusterSector(c), g_.sectorsPerCluster);
    fat_.set(last, c);
    if (rc == 0) rc = flushTable();
    return rc == 0 ? 0 : -EIO;
}

uint32_t FatVolume::allocCluster(uint32_t near) {
    if (fat_.freeClusters() == 0) return 0;
    uint32_t start = g_.validCluster(near) ? near + 1 : nextFree_;
    for (uint32_t i = 0; i < g_.clusterCount; ++i) {
        uint32_t c = 2 + (start - 2 + i) % g_.clusterCount;
        if (fat_.get(c) == 0) {
            fat_.set(c, g_.endOfChain());
            nextFree_ = c + 1 < g_.clusterCount + 2 ? c + 1 : 2;
            return c;
        }
    }
    return 0;
}

int FatVolume::freeChain(uint32_t first) {
    std::vector<uint32_t> clusters;
    for (uint32_t c = first; g_.validCluster(c) && clusters.size() < g_.clusterCount;
         c = fat_.get(c))
        clusters.push_back(c);
    return freeClusters(clusters);
}

int FatVolume::freeClusters(const std::vector<uint32_t>& clusters) {
    if (clusters.empty()) return 0;
    for (uint32_t c : clusters) fat_.set(c, 0);
    int rc = flushTable();
    // Freed clusters need no room on the device any more: one discard per
    // run of neighbouring clusters.
    std::vector<uint32_t> sorted = clusters;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0, run; i < sorted.size() && rc == 0; i += run) {
        for (run = 1; i + run < sorted.size() && sorted[i + run] == sorted[i] + run;) ++run;
        rc = dev_->discard(g_.clusterSector(sorted[i]), uint32_t(run) * g_.sectorsPerCluster);
    }
    return rc;
}

int FatVolume::flushTable() {
    return fat_.flush(*dev_) == 0 ? 0 : -EIO;
}

}  // namespace fs
