// File contents of the FAT volume: open files shared by their handles, the
// write-back window that turns small writes into large device writes, the
// copy on write of clusters the committed file holds, and the commit that
// makes a file's changes durable in the order fat_volume.h describes.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs/bytes.h"
#include "fs/fat_volume.h"
#include "platform/clock.h"

namespace fs {

namespace {
constexpr uint32_t kWindowBytes = 64 * 1024;
constexpr uint64_t kMaxFileSize = 0xFFFFFFFF;
}  // namespace

FatVolume::Node* FatVolume::nodeFor(const Entry& e) {
    for (auto& n : nodes_)
        if (!n->unlinked && n->dir == e.dir && n->index == e.index) return n.get();
    auto n = std::make_unique<Node>();
    n->dir = e.dir;
    n->index = e.index;
    n->isDir = e.isDir();
    n->readOnly = e.raw[11] & kAttrReadOnly;
    if (!n->isDir) {
        uint32_t cs = g_.clusterBytes();
        uint64_t need = (uint64_t(e.size()) + cs - 1) / cs;
        for (uint32_t c = e.cluster(); n->committed.size() < need && g_.validCluster(c);
             c = fat_.get(c))
            n->committed.push_back(c);
        n->committedSize =
            uint32_t(std::min<uint64_t>(e.size(), uint64_t(n->committed.size()) * cs));
        n->size = n->committedSize;
        n->chain = n->committed;
        n->fresh.assign(n->chain.size(), 0);
    }
    nodes_.push_back(std::move(n));
    return nodes_.back().get();
}

FatVolume::Handle* FatVolume::handle(int h) {
    if (h < 0 || size_t(h) >= handles_.size()) return nullptr;
    return handles_[size_t(h)].get();
}

void FatVolume::release(Node* node) {
    if (node->unlinked) {
        std::vector<uint32_t> clusters = node->chain;
        clusters.insert(clusters.end(), node->committed.begin(), node->committed.end());
        std::sort(clusters.begin(), clusters.end());
        clusters.erase(std::unique(clusters.begin(), clusters.end()), clusters.end());
        freeClusters(clusters);
    }
    nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                                [node](const auto& n) { return n.get() == node; }),
                 nodes_.end());
}

int FatVolume::open(const std::string& path, int flags) {
    int access = flags & 3;
    if (access == 3) return -EINVAL;
    bool writing = access != plat::kOpenRead;
    Entry e;
    bool root = false;
    int rc = resolve(path, &e, &root);
    if (rc == -ENOENT && (flags & plat::kOpenCreate)) {
        uint32_t dir = 0;
        std::string leaf;
        if ((rc = resolveParent(path, &dir, &leaf)) != 0) return rc;
        uint8_t proto[kEntrySize] = {};
        proto[11] = 0x20;  // archive
        uint16_t date, time;
        dosTimeOf(plat::time(), &date, &time);
        putLe16(proto + 14, time);
        putLe16(proto + 16, date);
        putLe16(proto + 18, date);
        putLe16(proto + 22, time);
        putLe16(proto + 24, date);
        rc = createEntry(dir, leaf, proto, &e);
    }
    if (rc != 0) return rc;
    Node* node;
    if (root || e.isDir()) {
        if (writing) return -EISDIR;
        if (root) {
            e = Entry{};
            e.dir = kRoot;
            e.raw[11] = kAttrDir;
        }
    } else if (writing && (e.raw[11] & kAttrReadOnly)) {
        return -EACCES;
    }
    node = nodeFor(e);
    if ((flags & plat::kOpenTrunc) && writing && (rc = resize(node, 0)) != 0) {
        if (node->refs == 0) release(node);
        return rc;
    }
    ++node->refs;
    size_t h = 0;
    while (h < handles_.size() && handles_[h]) ++h;
    if (h == handles_.size()) handles_.emplace_back();
    handles_[h] = std::make_unique<Handle>(Handle{node, 0, access});
    return int(h);
}

long FatVolume::read(int h, void* buf, size_t n) {
    Handle* hd = handle(h);
    if (!hd || hd->access == plat::kOpenWrite) return -EBADF;
    if (hd->node->isDir) return -EISDIR;
    long got = readBytes(hd->node, hd->offset, static_cast<uint8_t*>(buf), n);
    if (got > 0) hd->offset += uint64_t(got);
    return got;
}

long FatVolume::write(int h, const void* buf, size_t n) {
    Handle* hd = handle(h);
    if (!hd || hd->access == plat::kOpenRead) return -EBADF;
    Node* node = hd->node;
    if (node->isDir) return -EISDIR;
    if (n == 0) return 0;
    if (hd->offset >= kMaxFileSize) return -EFBIG;
    n = size_t(std::min<uint64_t>(n, kMaxFileSize - hd->offset));
    if (hd->offset > node->size) {
        int rc = resize(node, hd->offset);
        if (rc != 0) return rc;
    }
    long done = writeBytes(node, hd->offset, static_cast<const uint8_t*>(buf), n);
    if (done > 0) hd->offset += uint64_t(done);
    return done;
}

long FatVolume::seek(int h, long offset, int whence) {
    Handle* hd = handle(h);
    if (!hd) return -EBADF;
    int64_t base = whence == 0 ? 0 : whence == 1 ? int64_t(hd->offset) : int64_t(hd->node->size);
    if (whence < 0 || whence > 2 || base + offset < 0) return -EINVAL;
    hd->offset = uint64_t(base + offset);
    return long(hd->offset);
}

int FatVolume::truncate(int h, uint64_t length) {
    Handle* hd = handle(h);
    if (!hd || hd->access == plat::kOpenRead) return -EBADF;
    if (hd->node->isDir) return -EINVAL;
    return resize(hd->node, length);
}

int FatVolume::sync(int h) {
    Handle* hd = handle(h);
    return hd ? commit(hd->node) : -EBADF;
}

int FatVolume::close(int h) {
    Handle* hd = handle(h);
    if (!hd) return -EBADF;
    Node* node = hd->node;
    handles_[size_t(h)].reset();
    int rc = 0;
    if (--node->refs == 0) {
        rc = commit(node);
        // Clusters of a change that could not be committed belong to no file.
        std::vector<uint32_t> unused;
        for (size_t i = 0; rc != 0 && i < node->chain.size(); ++i)
            if (node->fresh[i]) unused.push_back(node->chain[i]);
        freeClusters(unused);
        release(node);
    }
    return rc;
}

long FatVolume::readBytes(Node* n, uint64_t offset, uint8_t* out, size_t count) {
    if (offset >= n->size) return 0;
    count = size_t(std::min<uint64_t>(count, n->size - offset));
    uint32_t cs = g_.clusterBytes(), spc = g_.sectorsPerCluster;
    std::vector<uint8_t> part;
    for (size_t done = 0; done < count;) {
        uint64_t pos = offset + done;
        uint32_t ci = uint32_t(pos / cs), within = uint32_t(pos % cs);
        size_t len = std::min<size_t>(cs - within, count - done);
        if (ci >= n->winFirst && ci < n->winFirst + n->winCount) {
            std::memcpy(out + done, &n->win[size_t(ci - n->winFirst) * cs + within], len);
        } else if (within == 0 && len == cs) {
            // Whole clusters that follow each other on the device in one read.
            uint32_t run = 1;
            while (ci + run < n->chain.size() && n->chain[ci + run] == n->chain[ci] + run &&
                   (ci + run < n->winFirst || ci + run >= n->winFirst + n->winCount) &&
                   count - done >= size_t(run + 1) * cs)
                ++run;
            if (dev_->read(g_.clusterSector(n->chain[ci]), run * spc, out + done) != 0) return -EIO;
            len = size_t(run) * cs;
        } else {
            uint32_t s0 = within / kSectorSize, s1 = uint32_t((within + len - 1) / kSectorSize);
            part.resize(size_t(s1 - s0 + 1) * kSectorSize);
            if (dev_->read(g_.clusterSector(n->chain[ci]) + s0, s1 - s0 + 1, part.data()) != 0)
                return -EIO;
            std::memcpy(out + done, &part[within - s0 * kSectorSize], len);
        }
        done += len;
    }
    return long(count);
}

long FatVolume::writeBytes(Node* n, uint64_t offset, const uint8_t* data, size_t count) {
    uint32_t cs = g_.clusterBytes();
    uint64_t need = (offset + count + cs - 1) / cs;
    while (n->chain.size() < need) {
        uint32_t c = allocCluster(n->chain.empty() ? 0 : n->chain.back());
        if (c == 0) break;
        n->chain.push_back(c);
        n->fresh.push_back(1);
    }
    uint64_t room = uint64_t(n->chain.size()) * cs;
    if (room <= offset) return -ENOSPC;
    count = size_t(std::min<uint64_t>(count, room - offset));
    for (size_t done = 0; done < count;) {
        uint64_t pos = offset + done;
        uint32_t ci = uint32_t(pos / cs), within = uint32_t(pos % cs);
        uint32_t len = uint32_t(std::min<size_t>(cs - within, count - done));
        int rc = prepareCluster(n, ci, within, within + len);
        if (rc != 0) {
            if (done == 0) return rc;
            count = done;
            break;
        }
        size_t slot = ci - n->winFirst;
        std::memcpy(&n->win[slot * cs + within], data + done, len);
        n->winDirty[slot] = 1;
        done += len;
    }
    n->size = uint32_t(std::max<uint64_t>(n->size, offset + count));
    n->modified = true;
    return long(count);
}

// Brings chain index ci into the window (loaded from the device unless
// [from, to) covers it whole) and gives it a new cluster when the write
// changes bytes of the committed file.
int FatVolume::prepareCluster(Node* n, uint32_t ci, uint32_t from, uint32_t to) {
    uint32_t cs = g_.clusterBytes();
    uint32_t most = std::max<uint32_t>(1, kWindowBytes / cs);
    if (ci < n->winFirst || ci > n->winFirst + n->winCount ||
        (ci == n->winFirst + n->winCount && n->winCount == most)) {
        int rc = flushWindow(n);
        if (rc != 0) return rc;
        n->winFirst = ci;
        n->winCount = 0;
    }
    size_t slot = ci - n->winFirst;
    if (slot == n->winCount) {
        n->win.resize((slot + 1) * cs);
        n->winDirty.resize(slot + 1);
        n->winDirty[slot] = 0;
        uint8_t* p = &n->win[slot * cs];
        if (from != 0 || to != cs) {
            if (uint64_t(ci) * cs < n->size) {
                if (dev_->read(g_.clusterSector(n->chain[ci]), g_.sectorsPerCluster, p) != 0)
                    return -EIO;
            } else {
                std::memset(p, 0, cs);
            }
        }
        ++n->winCount;
    }
    if (!n->fresh[ci] && !n->inPlace && uint64_t(ci) * cs + from < n->committedSize) {
        uint32_t c = allocCluster(n->chain[ci]);
        if (c != 0) {
            n->chain[ci] = c;
            n->fresh[ci] = 1;
        } else {
            n->inPlace = true;  // no room for a copy: the change goes in place
        }
    }
    return 0;
}

int FatVolume::flushWindow(Node* n) {
    uint32_t cs = g_.clusterBytes();
    for (uint32_t i = 0; i < n->winCount;) {
        if (!n->winDirty[i]) {
            ++i;
            continue;
        }
        uint32_t first = n->chain[n->winFirst + i], run = 1;
        while (i + run < n->winCount && n->winDirty[i + run] &&
               n->chain[n->winFirst + i + run] == first + run)
            ++run;
        if (dev_->write(g_.clusterSector(first), run * g_.sectorsPerCluster,
                        &n->win[size_t(i) * cs]) != 0)
            return -EIO;
        std::fill_n(n->winDirty.begin() + i, run, 0);
        i += run;
    }
    return 0;
}

int FatVolume::resize(Node* n, uint64_t length) {
    if (length > kMaxFileSize) return -EFBIG;
    uint32_t cs = g_.clusterBytes();
    if (length < n->size) {
        size_t keep = size_t((length + cs - 1) / cs);
        std::vector<uint32_t> unused;  // new clusters no file ever held
        for (size_t i = keep; i < n->chain.size(); ++i)
            if (n->fresh[i]) unused.push_back(n->chain[i]);
        n->chain.resize(keep);
        n->fresh.resize(keep);
        n->winCount =
            keep > n->winFirst ? std::min<uint32_t>(n->winCount, uint32_t(keep) - n->winFirst) : 0;
        n->win.resize(size_t(n->winCount) * cs);
        n->winDirty.resize(n->winCount);
        n->size = uint32_t(length);
        n->modified = true;
        return freeClusters(unused);
    }
    // Growing: the new bytes read as zeros.
    static const uint8_t zeros[4096] = {};
    uint32_t old = n->size;
    for (uint64_t pos = n->size; pos < length;) {
        long done =
            writeBytes(n, pos, zeros, size_t(std::min<uint64_t>(sizeof zeros, length - pos)));
        if (done <= 0) {
            resize(n, old);
            return done < 0 ? int(done) : -ENOSPC;
        }
        pos += uint64_t(done);
    }
    return 0;
}

int FatVolume::copyCluster(uint32_t from, uint32_t to) {
    std::vector<uint8_t> data(g_.clusterBytes());
    uint32_t spc = g_.sectorsPerCluster;
    if (dev_->read(g_.clusterSector(from), spc, data.data()) != 0 ||
        dev_->write(g_.clusterSector(to), spc, data.data()) != 0)
        return -EIO;
    return 0;
}

int FatVolume::commitEntry(Node* n) {
    uint16_t date, time;
    dosTimeOf(plat::time(), &date, &time);
    return updateEntry(n->dir, n->index, [&](uint8_t* raw) {
        putLe16(raw + 20, 0);
        putLe16(raw + 26, n->chain.empty() ? 0 : n->chain[0]);
        putLe32(raw + 28, n->chain.empty() ? 0 : n->size);
        putLe16(raw + 18, date);
        putLe16(raw + 22, time);
        putLe16(raw + 24, date);
        raw[11] |= 0x20;
    });
}

int FatVolume::commit(Node* n) {
    if (n->isDir || n->unlinked) return 0;
    int rc = flushWindow(n);
    if (rc != 0 || !n->modified) return rc;
    std::vector<uint32_t>& w = n->chain;
    const std::vector<uint32_t>& c = n->committed;
    bool append = !n->inPlace;
    for (size_t i = 0; i < std::min(w.size(), c.size()); ++i)
        append = append && w[i] == c[i] && !n->fresh[i];
    if (!append && !n->inPlace) {
        // Copy on write for the whole file: one directory entry write then
        // switches it from the old chain to the new one.
        for (size_t i = 0; i < w.size() && rc == 0; ++i) {
            if (n->fresh[i]) continue;
            uint32_t copy = allocCluster(w[i]);
            if (copy == 0) {
                n->inPlace = true;
                break;
            }
            rc = copyCluster(w[i], copy);
            w[i] = copy;
            n->fresh[i] = 1;
        }
        if (rc != 0) return rc;
    }
    std::vector<uint32_t> kept = w, dropped;
    std::sort(kept.begin(), kept.end());
    for (uint32_t cluster : c)
        if (!std::binary_search(kept.begin(), kept.end(), cluster)) dropped.push_back(cluster);
    size_t from = append ? c.size() : 0;
    for (size_t i = from; i < w.size(); ++i)
        fat_.set(w[i], i + 1 < w.size() ? w[i + 1] : g_.endOfChain());
    if (append && !c.empty() && w.size() > c.size()) fat_.set(c.back(), w[c.size()]);
    if ((rc = flushTable()) != 0 || (rc = commitEntry(n)) != 0) return rc;
    n->committed = w;
    n->committedSize = n->size;
    n->fresh.assign(w.size(), 0);
    n->modified = n->inPlace = false;
    if (append && !w.empty() && w.size() < c.size()) fat_.set(w.back(), g_.endOfChain());
    rc = freeClusters(dropped);
    return rc == 0 ? flushTable() : rc;
}

int FatVolume::statNode(const Node* n, const uint8_t* raw, plat::Stat* st) const {
    *st = plat::Stat{};
    bool readOnly = raw && (raw[11] & kAttrReadOnly);
    bool dir = n ? n->isDir : raw && (raw[11] & kAttrDir);
    st->mode = (dir ? plat::kModeDir : plat::kModeRegular) | (readOnly ? 0555 : 0777);
    st->size = dir ? 0 : n ? n->size : getLe32(raw + 28);
    if (raw) st->mtime = timeOfDos(getLe16(raw + 24), getLe16(raw + 22));
    return 0;
}

}  // namespace fs
