// The disk checker that runs at every mount. It picks the allocation table
// (both copies agree, or the first consistent one wins), walks every
// directory from the root and makes the volume consistent again: chains end
// and are not shared, sizes match chains, directory links are right, long
// name parts without their short entry and entries left by an interrupted
// rename go, and clusters no entry reaches are freed. Committed files stay.
// What it repaired it reports in one console line.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/bytes.h"
#include "fs/fat_volume.h"
#include "platform/console.h"

namespace fs {

namespace {

constexpr int kMaxDepth = 64;  // directories deeper than mkdir makes are damage
constexpr uint32_t kEntriesPerSector = kSectorSize / kEntrySize;
const uint8_t kDotName[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
const uint8_t kDotDotName[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

void add(std::vector<std::string>* out, uint32_t n, const char* one, const char* many) {
    if (n == 0) return;
    char text[80];
    std::snprintf(text, sizeof text, "%u %s", n, n == 1 ? one : many);
    out->push_back(text);
}

}  // namespace

class FatVolume::Checker {
  public:
    Checker(FatVolume& v, bool repair)
        : v_(v), g_(v.g_), repair_(repair), seen_(v.g_.clusterCount + 2, 0) {}

    // Chains that break, clusters claimed twice, unusable first clusters.
    uint32_t broken = 0;
    uint32_t sizes = 0, removed = 0, orphans = 0, links = 0, renames = 0, ended = 0;

    int walkTree() {
        int rc = walkDir(0, 0, 0);
        // Sources of an interrupted rename: gone when the new entry holds
        // their clusters, else they stay as they were.
        for (size_t i = 0; i < sources_.size() && rc == 0; ++i) {
            Source s = sources_[i];
            uint8_t raw[kEntrySize];
            if (v_.readEntry(s.dir, s.index, raw) != 0) return -EIO;
            uint32_t c = getLe16(raw + 26);
            if (g_.validCluster(c) && seen_[c]) {
                ++renames;
                Entry e;
                e.dir = s.dir;
                e.index = s.index;
                e.first = s.first;
                if (repair_ && v_.removeEntry(e) != 0) return -EIO;
                continue;
            }
            raw[13] = 0;
            Entry e;
            e.dir = s.dir;
            e.index = s.index;
            e.first = s.first;
            bool remove = claimEntry(raw, s.dir, 1, &rc) == Verdict::Remove;
            if (repair_ &&
                (remove ? v_.removeEntry(e) : v_.updateEntry(s.dir, s.index, [&](uint8_t* to) {
                    std::memcpy(to, raw, kEntrySize);
                })) != 0)
                return -EIO;
        }
        return rc;
    }

    // Clusters in use that no entry reaches; counts their chains.
    std::vector<uint32_t> lost(uint32_t* chains) const {
        std::vector<uint32_t> clusters;
        std::vector<uint8_t> pointedAt(seen_.size(), 0);
        for (uint32_t c = 2; c < g_.clusterCount + 2; ++c) {
            uint32_t v = v_.fat_.get(c);
            if (v == 0 || v == g_.badCluster() || seen_[c]) continue;
            clusters.push_back(c);
            if (g_.validCluster(v) && !seen_[v]) pointedAt[v] = 1;
        }
        *chains = 0;
        for (uint32_t c : clusters) *chains += !pointedAt[c];
        if (*chains == 0 && !clusters.empty()) *chains = 1;  // a closed loop
        return clusters;
    }

  private:
    struct Source {
        uint32_t dir, index, first;
    };

    // A cluster a chain may go on to: in range, not claimed, in use.
    bool usable(uint32_t c) const {
        if (!g_.validCluster(c) || seen_[c]) return false;
        uint32_t v = v_.fat_.get(c);
        return v != 0 && v != g_.badCluster();
    }

    void endChainAt(uint32_t c) {
        if (repair_) v_.fat_.set(c, g_.endOfChain());
    }

    bool claimDirChain(uint32_t first) {
        if (!usable(first)) return false;
        uint32_t clusters = 0, most = 65536 / kEntriesPerSector / g_.sectorsPerCluster;
        for (uint32_t c = first;;) {
            seen_[c] = 1;
            uint32_t next = v_.fat_.get(c);
            if (g_.isEnd(next)) return true;
            if (!usable(next) || ++clusters >= most) {
                ++ended;
                ++broken;
                endChainAt(c);
                return true;
            }
            c = next;
        }
    }

    // Claims a file's chain as far as its size reaches; corrects the size
    // where the chain breaks first. True when the entry changed.
    bool claimFile(uint8_t* raw) {
        uint32_t size = getLe32(raw + 28), c = getLe16(raw + 26);
        bool change = getLe16(raw + 20) != 0;
        if (size == 0 || !usable(c)) {
            change = change || c != 0 || size != 0;
            broken += size != 0;
            if (change) ++sizes;
            if (change && repair_) std::memset(raw + 20, 0, 2), std::memset(raw + 26, 0, 6);
            return change;
        }
        uint64_t need = (uint64_t(size) + g_.clusterBytes() - 1) / g_.clusterBytes();
        uint64_t k = 0;
        uint32_t last = c;
        for (;;) {
            seen_[last] = 1;
            uint32_t next = v_.fat_.get(last);
            if (++k == need || !usable(next)) break;
            last = next;
        }
        if (k < need) {
            ++sizes;
            ++broken;
            change = true;
            if (repair_) putLe32(raw + 28, uint32_t(k * g_.clusterBytes()));
        }
        if (!g_.isEnd(v_.fat_.get(last))) endChainAt(last);  // the rest is lost
        if (change && repair_) std::memset(raw + 20, 0, 2);
        return change;
    }

    enum class Verdict { Keep, Changed, Remove };
    // Claims what an entry of `dir` holds: a file's chain, or a directory's
    // chain and everything below it.
    Verdict claimEntry(uint8_t* raw, uint32_t dir, int depth, int* rc) {
        if (!(raw[11] & kAttrDir)) return claimFile(raw) ? Verdict::Changed : Verdict::Keep;
        uint32_t c = getLe16(raw + 26);
        if (depth >= kMaxDepth || !claimDirChain(c)) {
            ++removed;
            ++broken;
            return Verdict::Remove;
        }
        bool changed = getLe32(raw + 28) != 0 || getLe16(raw + 20) != 0;
        if (changed) ++sizes;
        if (changed && repair_) std::memset(raw + 28, 0, 4), std::memset(raw + 20, 0, 2);
        *rc = walkDir(c, dir, depth + 1);
        return changed ? Verdict::Changed : Verdict::Keep;
    }

    int walkDir(uint32_t dir, uint32_t parent, int depth) {
        std::vector<uint32_t> sectors;
        v_.dirSectors(dir, &sectors);
        std::vector<uint8_t> data(sectors.size() * kSectorSize);
        std::vector<uint8_t> changed(sectors.size(), 0);
        for (size_t si = 0; si < sectors.size(); ++si)
            if (v_.dev_->read(sectors[si], 1, &data[si * kSectorSize]) != 0) return -EIO;
        auto drop = [&](uint32_t from, uint32_t to) {  // entries [from, to]
            for (uint32_t j = from; j <= to; ++j) {
                if (repair_) data[j * kEntrySize] = kEntryFree;
                changed[j / kEntriesPerSector] = 1;
            }
        };
        long runStart = -1;  // first long name part of the current run
        bool runOk = false;
        uint32_t next = 0;
        uint8_t sum = 0;
        auto dropRun = [&](uint32_t before) {
            if (runStart < 0) return;
            drop(uint32_t(runStart), before - 1);
            ++orphans;
            runStart = -1;
        };
        uint32_t count = uint32_t(sectors.size()) * kEntriesPerSector;
        int rc = 0;
        for (uint32_t i = 0; i < count && rc == 0; ++i) {
            uint8_t* raw = &data[size_t(i) * kEntrySize];
            if (raw[0] == 0) {
                dropRun(i);
                break;
            }
            if (raw[0] == kEntryFree) {
                dropRun(i);
                continue;
            }
            if ((raw[11] & 0x3F) == kAttrLongName) {
                uint32_t ordinal = raw[0] & 0x1F;
                if (raw[0] & 0x40) {
                    dropRun(i);
                    runStart = i;
                    runOk = ordinal >= 1 && ordinal <= 20;
                    next = ordinal - 1;
                    sum = raw[13];
                } else if (runStart < 0) {
                    runStart = i;
                    runOk = false;
                } else {
                    runOk = runOk && ordinal == next && next >= 1 && raw[13] == sum;
                    --next;
                }
                continue;
            }
            if (runStart >= 0 && !(runOk && next == 0 && sum == longNameChecksum(raw))) dropRun(i);
            uint32_t first = runStart >= 0 ? uint32_t(runStart) : i;
            runStart = -1;
            if (raw[11] & kAttrVolume) continue;
            bool dot = std::memcmp(raw, kDotName, 11) == 0;
            if (dot || std::memcmp(raw, kDotDotName, 11) == 0) {
                uint32_t want = dot ? dir : parent;
                if (dir != 0 && getLe16(raw + 26) != want) {
                    ++links;
                    if (repair_) putLe16(raw + 26, want);
                    changed[i / kEntriesPerSector] = 1;
                }
                continue;
            }
            if (raw[13] == kRenameSource) {
                sources_.push_back(Source{dir, i, first});
                continue;
            }
            Verdict verdict = claimEntry(raw, dir, depth, &rc);
            if (verdict == Verdict::Remove) drop(first, i);
            if (verdict == Verdict::Changed) changed[i / kEntriesPerSector] = 1;
        }
        if (repair_)
            for (size_t si = 0; si < sectors.size(); ++si)
                if (changed[si] && v_.dev_->write(sectors[si], 1, &data[si * kSectorSize]) != 0)
                    return -EIO;
        return rc;
    }

    FatVolume& v_;
    const FatGeometry& g_;
    bool repair_;
    std::vector<uint8_t> seen_;
    std::vector<Source> sources_;
};

int FatVolume::check(const std::string& name, const std::vector<std::string>& notes) {
    repairs_ = notes;
    std::vector<std::vector<uint8_t>> copies(g_.fatCount);
    bool differ = false;
    for (uint32_t k = 0; k < g_.fatCount; ++k) {
        copies[k].resize(size_t(g_.fatSectors) * kSectorSize);
        if (dev_->read(g_.reservedSectors + k * g_.fatSectors, g_.fatSectors, copies[k].data()) !=
            0)
            return -EIO;
        differ = differ || copies[k] != copies[0];
    }
    uint32_t chosen = 0;
    if (differ) {
        for (uint32_t k = 0; k < g_.fatCount; ++k) {
            fat_.load(g_, copies[k]);
            Checker trial(*this, false);
            if (trial.walkTree() != 0) return -EIO;
            if (trial.broken == 0) {
                chosen = k;
                break;
            }
        }
    }
    fat_.load(g_, copies[chosen]);
    Checker fix(*this, true);
    if (fix.walkTree() != 0) return -EIO;
    uint32_t lostChains = 0;
    std::vector<uint32_t> lost = fix.lost(&lostChains);
    uint32_t media = (g_.type == FatType::Fat12 ? 0xF00 : 0xFF00) | g_.media;
    bool header = fat_.get(0) != media;
    if (header) fat_.set(0, media);
    if (differ) fat_.touchAll();
    int rc = lost.empty() ? flushTable() : freeClusters(lost);
    if (rc != 0) return rc;

    add(&repairs_, lostChains, "lost chain freed", "lost chains freed");
    add(&repairs_, fix.sizes, "file size corrected", "file sizes corrected");
    add(&repairs_, fix.ended, "broken directory chain ended", "broken directory chains ended");
    add(&repairs_, fix.removed, "damaged entry removed", "damaged entries removed");
    add(&repairs_, fix.orphans, "orphan long name removed", "orphan long names removed");
    add(&repairs_, fix.links, "directory link corrected", "directory links corrected");
    add(&repairs_, fix.renames, "interrupted rename completed", "interrupted renames completed");
    if (header) repairs_.push_back("table header corrected");
    for (uint32_t k = 0; k < g_.fatCount; ++k)
        if (k != chosen && copies[k] != copies[chosen])
            repairs_.push_back("FAT copy " + std::to_string(k + 1) + " rewritten");
    if (!repairs_.empty()) {
        std::string line;
        for (const auto& r : repairs_) line += (line.empty() ? "" : ", ") + r;
        plat::printf("%s: disk check: %s\n", name.c_str(), line.c_str());
    }
    return 0;
}

}  // namespace fs
