// The FAT volume's mount and its operations on names: stat, unlink, mkdir,
// rmdir, rename, listing and the volume figures. Format: fat_format.h.
#include "fs/fat_volume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs/bytes.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace fs {

namespace {

constexpr long kMaxDirDepth = 48;
const uint8_t kDotName[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
const uint8_t kDotDotName[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

void stampTimes(uint8_t* raw) {
    uint16_t date, time;
    dosTimeOf(plat::time(), &date, &time);
    putLe16(raw + 14, time);
    putLe16(raw + 16, date);
    putLe16(raw + 18, date);
    putLe16(raw + 22, time);
    putLe16(raw + 24, date);
}

}  // namespace

FatVolume::FatVolume(std::unique_ptr<BlockDevice> dev, const FatGeometry& g)
    : dev_(std::move(dev)), g_(g) {}

FatVolume::~FatVolume() {
    for (size_t h = 0; h < handles_.size(); ++h)
        if (handles_[h]) close(int(h));
}

int FatVolume::mount(std::unique_ptr<BlockDevice> dev, const std::string& name,
                     std::unique_ptr<FatVolume>* out, const std::vector<std::string>& notes) {
    uint8_t boot[kSectorSize];
    if (dev->read(0, 1, boot) != 0) return -EIO;
    FatGeometry g;
    if (!parseBootSector(boot, dev->sectorCount(), &g)) return -EINVAL;
    std::unique_ptr<FatVolume> v(new FatVolume(std::move(dev), g));
    std::vector<uint8_t> table(size_t(g.fatSectors) * kSectorSize);
    if (v->dev_->read(g.reservedSectors, g.fatSectors, table.data()) != 0) return -EIO;
    v->fat_.load(g, std::move(table));
    int rc = v->check(name, notes);
    if (rc != 0) return rc;
    *out = std::move(v);
    return 0;
}

int FatVolume::syncAll() {
    int result = 0;
    for (auto& n : nodes_) {
        int rc = commit(n.get());
        if (result == 0) result = rc;
    }
    return result;
}

int FatVolume::fstat(int h, plat::Stat* st) {
    Handle* hd = handle(h);
    if (!hd) return -EBADF;
    Node* n = hd->node;
    uint8_t raw[kEntrySize];
    bool entry = n->dir != kRoot && !n->unlinked && readEntry(n->dir, n->index, raw) == 0;
    statNode(n, entry ? raw : nullptr, st);
    st->serial = n->dir == kRoot ? 1 : n->dir * 65536 + n->index + 2;
    return 0;
}

int FatVolume::stat(const std::string& path, plat::Stat* st) {
    Entry e;
    bool root = false;
    int rc = resolve(path, &e, &root);
    if (rc != 0) return rc;
    if (root) {
        *st = plat::Stat{};
        st->mode = plat::kModeDir | 0777;
        st->serial = 1;
        return 0;
    }
    const Node* open = nullptr;
    for (const auto& n : nodes_)
        if (!n->unlinked && n->dir == e.dir && n->index == e.index) open = n.get();
    statNode(open, e.raw, st);
    st->serial = e.dir * 65536 + e.index + 2;
    return 0;
}

int FatVolume::unlink(const std::string& path) {
    Entry e;
    bool root = false;
    int rc = resolve(path, &e, &root);
    if (rc != 0) return rc;
    if (root || e.isDir()) return -EISDIR;
    if (e.raw[11] & kAttrReadOnly) return -EACCES;
    if ((rc = removeEntry(e)) != 0) return rc;
    // An open file keeps its clusters until its last handle closes.
    for (auto& n : nodes_)
        if (!n->unlinked && n->dir == e.dir && n->index == e.index) {
            n->unlinked = true;
            return 0;
        }
    return freeChain(e.cluster());
}

int FatVolume::mkdir(const std::string& path) {
    Entry e;
    bool root = false;
    int rc = resolve(path, &e, &root);
    if (rc == 0) return -EEXIST;
    if (rc != -ENOENT) return rc;
    uint32_t dir = 0;
    std::string leaf;
    if ((rc = resolveParent(path, &dir, &leaf)) != 0 || (rc = checkName(leaf)) != 0) return rc;
    if (std::count(path.begin(), path.end(), '/') >= kMaxDirDepth) return -ENAMETOOLONG;
    uint32_t c = allocCluster(0);
    if (c == 0) return -ENOSPC;
    // The new directory's clusters with "." and "..", then its table entry,
    // then its entry in the parent.
    std::vector<uint8_t> cluster(g_.clusterBytes(), 0);
    uint8_t proto[kEntrySize] = {};
    proto[11] = kAttrDir;
    stampTimes(proto);
    std::memcpy(&cluster[0], proto, kEntrySize);
    std::memcpy(&cluster[0], kDotName, 11);
    putLe16(&cluster[26], c);
    std::memcpy(&cluster[kEntrySize], proto, kEntrySize);
    std::memcpy(&cluster[kEntrySize], kDotDotName, 11);
    putLe16(&cluster[kEntrySize + 26], dir);
    putLe16(proto + 26, c);
    rc = dev_->write(g_.clusterSector(c), g_.sectorsPerCluster, cluster.data());
    if (rc == 0) rc = flushTable();
    if (rc == 0) rc = createEntry(dir, leaf, proto, &e);
    if (rc != 0) freeClusters({c});
    return rc;
}

int FatVolume::rmdir(const std::string& path) {
    Entry e;
    bool root = false;
    int rc = resolve(path, &e, &root);
    if (rc != 0) return rc;
    if (root) return -EBUSY;
    if (!e.isDir()) return -ENOTDIR;
    bool empty = true;
    rc = scanDir(e.cluster(), [&](const Entry& inner) {
        empty = std::memcmp(inner.raw, kDotName, 11) == 0 ||
                std::memcmp(inner.raw, kDotDotName, 11) == 0;
        return empty;
    });
    if (rc != 0) return rc;
    if (!empty) return -ENOTEMPTY;
    if ((rc = removeEntry(e)) != 0) return rc;
    for (auto& n : nodes_)
        if (n->dir == e.dir && n->index == e.index) n->unlinked = true;
    return freeChain(e.cluster());
}

int FatVolume::rename(const std::string& from, const std::string& to) {
    Entry src, dst;
    bool root = false;
    int rc = resolve(from, &src, &root);
    if (rc != 0) return rc;
    if (root) return -EBUSY;
    uint32_t toDir = 0;
    std::string leaf;
    if ((rc = resolveParent(to, &toDir, &leaf)) != 0 || (rc = checkName(leaf)) != 0) return rc;
    if (src.isDir()) {
        // Not into itself: walk up from the new parent along "..".
        for (uint32_t d = toDir, steps = 0; d != 0 && steps < 64; ++steps) {
            if (d == src.cluster()) return -EINVAL;
            uint8_t raw[kEntrySize];
            if (readEntry(d, 1, raw) != 0) return -EIO;
            d = getLe16(raw + 26);
        }
    }
    rc = lookup(toDir, leaf, &dst);
    if (rc != 0 && rc != -ENOENT) return rc;
    bool replace = rc == 0;
    auto moveNodes = [&](const Entry& target) {
        for (auto& n : nodes_)
            if (!n->unlinked && n->dir == src.dir && n->index == src.index) {
                n->dir = target.dir;
                n->index = target.index;
            }
    };
    if (replace && dst.dir == src.dir && dst.index == src.index) {
        if (dst.name == leaf) return 0;
        // Another spelling of the same name.
        Entry moved;
        if ((rc = removeEntry(src)) != 0 || (rc = createEntry(toDir, leaf, src.raw, &moved)) != 0)
            return rc;
        moveNodes(moved);
        return 0;
    }
    if (replace) {
        if (src.isDir() != dst.isDir()) return src.isDir() ? -ENOTDIR : -EISDIR;
        bool empty = true;
        if (dst.isDir() && (rc = scanDir(dst.cluster(), [&](const Entry& inner) {
                                empty = inner.raw[0] == '.';
                                return empty;
                            })) != 0)
            return rc;
        if (!empty) return -ENOTEMPTY;
    }
    // The source is marked first: should the power fail while both entries
    // name the same clusters, the checker keeps the new one.
    rc = updateEntry(src.dir, src.index, [](uint8_t* raw) { raw[13] = kRenameSource; });
    Entry made = dst;
    if (rc == 0 && replace) {
        rc = updateEntry(dst.dir, dst.index, [&](uint8_t* raw) {
            raw[11] = src.raw[11];
            std::memcpy(raw + 13, src.raw + 13, kEntrySize - 13);
            raw[13] = 0;
        });
    } else if (rc == 0) {
        rc = createEntry(toDir, leaf, src.raw, &made);
    }
    if (rc == 0) rc = removeEntry(src);
    if (rc == 0 && src.isDir() && src.dir != toDir)
        rc = updateEntry(src.cluster(), 1, [&](uint8_t* raw) { putLe16(raw + 26, toDir); });
    if (rc != 0) return rc;
    bool openTarget = false;
    for (auto& n : nodes_)
        if (replace && !n->unlinked && n->dir == dst.dir && n->index == dst.index) {
            n->unlinked = true;
            openTarget = true;
        }
    moveNodes(made);
    return replace && !openTarget ? freeChain(dst.cluster()) : 0;
}

int FatVolume::statfs(plat::StatFs* st) {
    st->bsize = long(g_.clusterBytes());
    st->blocks = long(g_.clusterCount);
    st->bfree = long(fat_.freeClusters());
    return 0;
}

int FatVolume::list(const std::string& path, std::vector<std::string>* names) {
    Entry e;
    bool root = false;
    int rc = resolve(path, &e, &root);
    if (rc != 0) return rc;
    if (!root && !e.isDir()) return -ENOTDIR;
    names->clear();
    return scanDir(root ? 0 : e.cluster(), [&](const Entry& inner) {
        names->push_back(inner.name);
        return true;
    });
}

void FatVolume::show(const char* name, int /*level*/) {
    uint64_t cs = g_.clusterBytes();
    uint64_t total = cs * g_.clusterCount, free = cs * fat_.freeClusters();
    plat::printf("\nvolume Name: %s\n", name);
    plat::printf("total number of clusters:  %u\n", unsigned(g_.clusterCount));
    plat::printf("bytes per cluster:         %u\n", unsigned(cs));
    plat::printf("total bytes on volume:     %llu\n", (unsigned long long)total);
    plat::printf("bytes in use:              %llu\n", (unsigned long long)(total - free));
    plat::printf("free bytes on volume:      %llu\n", (unsigned long long)free);
    plat::printf("FAT type:                  %s\n", g_.type == FatType::Fat12 ? "FAT12" : "FAT16");
    plat::printf("number of FAT copies:      %u\n", unsigned(g_.fatCount));
}

}  // namespace fs
