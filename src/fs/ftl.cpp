// The translation layer's sector reads and writes, and the reclaim that
// makes room by moving a unit's valid sectors into the spare unit. Format:
// ftl.h.
#include "fs/ftl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs/bytes.h"

namespace fs {

namespace {

constexpr uint16_t kStateWriting = 0x7FFF, kStateValid = 0x3FFF, kStateDeleted = 0x0000;
constexpr uint32_t kCopyBatch = 32;  // sectors a reclaim moves per program
// A reclaim also moves the coldest unit when erase counts drift this far apart.
constexpr uint32_t kWearGap = 16;
constexpr int kAttempts = 4;

bool allZero(const uint8_t* p) {
    for (uint32_t i = 0; i < kSectorSize; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace

int Ftl::read(uint32_t first, uint32_t count, uint8_t* buffer) {
    if (!mounted_) return -EIO;
    if (uint64_t(first) + count > logical_) return -EINVAL;
    for (uint32_t i = 0; i < count;) {
        uint32_t loc = map_[first + i];
        uint8_t* out = buffer + size_t(i) * kSectorSize;
        if (loc == kNowhere) {
            std::memset(out, 0, kSectorSize);
            ++i;
            continue;
        }
        // Sectors in consecutive slots of one unit come in one read.
        uint32_t run = 1;
        while (i + run < count && map_[first + i + run] == loc + run &&
               (loc & 0xFFFF) + run < slots_)
            ++run;
        int rc = readFlash(slotAddr(loc >> 16, loc & 0xFFFF), out, run * kSectorSize);
        if (rc != 0) return rc;
        i += run;
    }
    return 0;
}

int Ftl::write(uint32_t first, uint32_t count, const uint8_t* buffer) {
    if (!mounted_) return -EIO;
    if (uint64_t(first) + count > logical_) return -EINVAL;
    // A sector of zeros needs no slot: it reads as zeros once discarded.
    for (uint32_t i = 0; i < count;) {
        const uint8_t* data = buffer + size_t(i) * kSectorSize;
        uint32_t run = 1;
        bool zero = allZero(data);
        while (i + run < count && allZero(data + size_t(run) * kSectorSize) == zero) ++run;
        int rc = zero ? discard(first + i, run) : writeRun(first + i, run, data);
        if (rc != 0) return rc;
        i += run;
    }
    return 0;
}

int Ftl::discard(uint32_t first, uint32_t count) {
    if (!mounted_) return -EIO;
    if (uint64_t(first) + count > logical_) return -EINVAL;
    std::vector<uint32_t> old;
    for (uint32_t lsn = first; lsn < first + count; ++lsn) {
        if (map_[lsn] == kNowhere) continue;
        old.push_back(map_[lsn]);
        --unit_[map_[lsn] >> 16].valid;
        map_[lsn] = kNowhere;
    }
    return deleteCopies(std::move(old));
}

// Marks copies deleted, one program per run of neighbouring slots.
int Ftl::deleteCopies(std::vector<uint32_t> locations) {
    std::sort(locations.begin(), locations.end());
    int result = 0;
    for (size_t i = 0; i < locations.size();) {
        size_t run = 1;
        while (i + run < locations.size() && locations[i + run] == locations[i] + run) ++run;
        uint32_t loc = locations[i];
        int rc = programWords(stateAddr(loc >> 16, loc & 0xFFFF), kStateDeleted, uint32_t(run));
        if (result == 0) result = rc;
        i += run;
    }
    return result;
}

int Ftl::writeRun(uint32_t lsn, uint32_t count, const uint8_t* data) {
    int failures = 0;
    while (count > 0) {
        int u = writableUnit();
        if (u < 0) return u;
        uint32_t n = std::min(count, slots_ - unit_[u].used);
        long done = programBatch(uint32_t(u), lsn, n, data);
        if (done < 0) return int(done);
        // A unit that refused a program takes no more writes: each failure
        // uses up one, and a reclaim erases them.
        if (done == 0 && ++failures == int(units_) + kAttempts) return -EIO;
        lsn += uint32_t(done);
        data += size_t(done) * kSectorSize;
        count -= uint32_t(done);
    }
    return 0;
}

// Writes `count` sectors into the next free slots of unit u: the slots are
// marked being written, the data and tags programmed, the slots marked valid,
// and then the old copies deleted. Returns the sectors written (0 when the
// unit refused a program: it takes no more writes and is reclaimed later).
long Ftl::programBatch(uint32_t u, uint32_t lsn, uint32_t count, const uint8_t* data) {
    Unit& x = unit_[u];
    uint32_t s0 = x.used;
    x.used += count;
    std::vector<uint8_t> tags(6 * size_t(count));
    for (uint32_t j = 0; j < count; ++j) {
        putBe32(&tags[6 * j], lsn + j);
        putBe16(&tags[6 * j + 4], uint16_t(version_[lsn + j] + 1));
    }
    int rc = programWords(stateAddr(u, s0), kStateWriting, count);
    if (rc == 0) rc = programRun(slotAddr(u, s0), data, count * kSectorSize);
    if (rc == 0) rc = programRun(tagAddr(u, s0), tags.data(), uint32_t(tags.size()));
    if (rc == -EROFS) return rc;
    if (rc != 0) {
        x.used = slots_;
        return 0;
    }
    rc = programWords(stateAddr(u, s0), kStateValid, count);
    std::vector<uint8_t> states(2 * size_t(count));
    if (rc != 0) {
        // Which slots did become valid decides which copies are current.
        x.used = slots_;
        if (readFlash(stateAddr(u, s0), states.data(), uint32_t(states.size())) != 0) return -EIO;
    }
    std::vector<uint32_t> old;
    for (uint32_t j = 0; j < count; ++j) {
        if (rc != 0 && getBe16(&states[2 * j]) != kStateValid) continue;
        uint32_t& loc = map_[lsn + j];
        if (loc != kNowhere) {
            old.push_back(loc);
            --unit_[loc >> 16].valid;
        }
        loc = u << 16 | (s0 + j);
        ++version_[lsn + j];
        ++x.valid;
    }
    deleteCopies(std::move(old));
    return rc == 0 ? long(count) : -EIO;
}

// A data unit with free slots, reclaiming when none has any.
int Ftl::writableUnit() {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (current_ >= 0 && unit_[current_].kind == Kind::Data && unit_[current_].used < slots_)
            return current_;
        current_ = -1;
        uint32_t bestFree = 0;
        for (uint32_t u = 0; u < units_; ++u) {
            const Unit& x = unit_[u];
            if (x.kind != Kind::Data || x.used == slots_) continue;
            uint32_t free = slots_ - x.used;
            if (current_ < 0 || free > bestFree ||
                (free == bestFree && x.erases < unit_[current_].erases)) {
                current_ = int(u);
                bestFree = free;
            }
        }
        if (current_ >= 0) return current_;
        int rc = reclaim();
        if (rc != 0) return rc;
    }
    return -EIO;
}

int Ftl::reclaim() {
    int victim = -1;
    uint32_t best = 0;
    for (uint32_t u = 0; u < units_; ++u) {
        const Unit& x = unit_[u];
        if (x.kind != Kind::Data) continue;
        uint32_t deleted = x.used - x.valid;
        if (deleted > best || (deleted == best && victim >= 0 && x.erases < unit_[victim].erases)) {
            victim = int(u);
            best = deleted;
        }
    }
    if (victim < 0 || best == 0) return -ENOSPC;
    int rc = moveUnit(uint32_t(victim));
    if (rc != 0) return rc;
    // Static wear levelling: data that never changes leaves its unit, so the
    // unit's erase cycles are used too.
    int coldest = -1;
    uint32_t most = 0;
    for (uint32_t u = 0; u < units_; ++u) {
        const Unit& x = unit_[u];
        if (x.kind == Kind::Bad) continue;
        most = std::max(most, x.erases);
        if (x.kind == Kind::Data && (coldest < 0 || x.erases < unit_[coldest].erases))
            coldest = int(u);
    }
    if (coldest >= 0 && most - unit_[coldest].erases > kWearGap) moveUnit(uint32_t(coldest));
    return 0;
}

// An erased spare unit; a unit left dirty is erased for it.
int Ftl::takeSpare() {
    int best = -1;
    for (uint32_t u = 0; u < units_; ++u)
        if (unit_[u].kind == Kind::Spare && (best < 0 || unit_[u].erases < unit_[best].erases))
            best = int(u);
    if (best >= 0) return best;
    int rc = -EIO;
    for (uint32_t u = 0; u < units_; ++u)
        if (unit_[u].kind == Kind::Dirty && (rc = makeSpare(u)) == 0) return int(u);
    return rc;
}

// Moves a data unit's valid sectors into a spare unit that then stands for
// the same logical unit; the old unit is erased and becomes the spare.
int Ftl::moveUnit(uint32_t victim) {
    int p = takeSpare();
    if (p < 0) return p;
    Unit& to = unit_[p];
    to.kind = Kind::Dirty;  // until committed, whatever happens
    int rc = programWords(unitBase(p) + 32, 0, 1);
    std::vector<uint16_t> states;
    std::vector<uint8_t> tags;
    if (rc == 0) rc = readMap(victim, &states, &tags);
    if (rc != 0) return rc;

    std::vector<uint32_t> moved;  // source slots
    std::vector<uint8_t> newTags;
    for (uint32_t s = 0; s < tags.size() / 6; ++s) {
        uint32_t lsn = getBe32(&tags[6 * s]);
        if (states[s] != kStateValid || lsn >= logical_ || map_[lsn] != (victim << 16 | s))
            continue;
        moved.push_back(s);
        newTags.insert(newTags.end(), &tags[6 * s], &tags[6 * s + 6]);
    }
    std::vector<uint8_t> buffer(kCopyBatch * kSectorSize);
    uint32_t n = uint32_t(moved.size());
    for (uint32_t j = 0; j < n && rc == 0;) {
        uint32_t batch = std::min(kCopyBatch, n - j);
        for (uint32_t k = 0; k < batch && rc == 0;) {
            uint32_t run = 1;
            while (k + run < batch && moved[j + k + run] == moved[j + k] + run) ++run;
            rc = readFlash(slotAddr(victim, moved[j + k]), &buffer[k * kSectorSize],
                           run * kSectorSize);
            k += run;
        }
        if (rc == 0) rc = programRun(slotAddr(p, j), buffer.data(), batch * kSectorSize);
        j += batch;
    }
    if (rc == 0 && n) rc = programRun(tagAddr(p, 0), newTags.data(), uint32_t(newTags.size()));
    if (rc == 0 && n) rc = programWords(stateAddr(p, 0), kStateValid, n);
    std::vector<uint8_t> header = encodeHeader(to.erases, true, unit_[victim].lun, seq_ + 1);
    if (rc == 0) rc = program(unitBase(p) + 36, &header[36], 12);
    if (rc == 0) rc = program(unitBase(p) + 34, &header[34], 2);
    if (rc != 0) return rc;

    to.kind = Kind::Data;
    to.lun = unit_[victim].lun;
    to.seq = ++seq_;
    to.used = to.valid = n;
    for (uint32_t j = 0; j < n; ++j) map_[getBe32(&newTags[6 * j])] = uint32_t(p) << 16 | j;
    if (current_ == int(victim)) current_ = p;
    unit_[victim].kind = Kind::Dirty;
    makeSpare(victim);
    ++reclaims_;
    return 0;
}

}  // namespace fs
