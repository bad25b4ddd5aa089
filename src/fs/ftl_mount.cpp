// The translation layer's unit headers, its mount (rebuilding the sector map
// from the units' maps, finishing or undoing an interrupted reclaim) and its
// format. The on-flash format is described in ftl.h.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/bytes.h"
#include "fs/ftl.h"
#include "platform/bus.h"

namespace fs {

namespace {

constexpr uint32_t kMagic = 0x53544B46;  // "STKF"
constexpr uint16_t kFormatVersion = 1;
constexpr uint32_t kHeaderBytes = 64;
constexpr uint32_t kCommittedBytes = 48;  // header bytes a committed unit programs
constexpr uint32_t kSpareBytes = 32;      // header bytes a spare unit programs
constexpr uint16_t kStateFree = 0xFFFF, kStateValid = 0x3FFF;
// Programs of runs start on the chip's write-buffer boundary; this one when
// the chip names no usable buffer size.
constexpr uint32_t kProgramAlign = 64;

bool allOnes(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

std::string phrase(uint32_t n, const char* one, const char* many) {
    char text[80];
    std::snprintf(text, sizeof text, "%u %s", n, n == 1 ? one : many);
    return text;
}

}  // namespace

struct Ftl::Header {
    bool ours = false;  // magic, version and the first CRC hold
    uint32_t unitSize = 0, units = 0, dataUnits = 0, logical = 0, erases = 0;
    bool clean = false;      // copy mark, commit and the rest still erased
    bool committed = false;  // committed and the second CRC holds
    uint32_t lun = 0, seq = 0;
};

Ftl::Ftl(const plat::FLFlash& flash) : flash_(flash) {}

int Ftl::setGeometry() {
    unitSize_ = flash_.erasableBlockSize;
    if (unitSize_ < 4 * kSectorSize || unitSize_ > (16u << 20) || (unitSize_ & (unitSize_ - 1)))
        return -EINVAL;
    units_ = flash_.chipSize / unitSize_;
    if (units_ < 3 || units_ > 0xFFFF) return -EINVAL;
    uint32_t sectors = unitSize_ / kSectorSize;
    for (headerSectors_ = 1;
         kHeaderBytes + 8 * (sectors - headerSectors_) > headerSectors_ * kSectorSize;)
        ++headerSectors_;
    slots_ = sectors - headerSectors_;
    return 0;
}

int Ftl::readFlash(uint32_t addr, void* buffer, uint32_t length) {
    uint32_t bus = flash_.map(&flash_, addr, int(length));
    return plat::busReadBlock(bus, buffer, length) ? 0 : -EIO;
}

int Ftl::program(uint32_t addr, const void* data, uint32_t length) {
    int rc = flash_.write(&flash_, addr, data, int(length), 0);
    if (rc == plat::flOK) return 0;
    return rc == plat::flWriteProtect ? -EROFS : -EIO;
}

// A run (map entries, sector data) is programmed from where a write buffer
// starts: the bytes before it are programmed again with what they hold, which
// changes no cell (and a cut leaves them as they are), and the chip takes the
// run in whole buffer programs instead of one word program per word up to a
// boundary (on a chip with a large buffer that is most of a run, and each
// word program ends in a return to read mode).
int Ftl::programRun(uint32_t addr, const uint8_t* data, uint32_t length) {
    uint32_t align = flash_.writeBufferSize;
    if (align < 4 || align > unitSize_ || (align & (align - 1))) align = kProgramAlign;
    uint32_t head = length > 2 ? addr % align : 0;
    std::vector<uint8_t> bytes(head + size_t(length));
    if (head && readFlash(addr - head, bytes.data(), head) != 0) return -EIO;
    std::copy(data, data + length, bytes.begin() + head);
    return program(addr - head, bytes.data(), uint32_t(bytes.size()));
}

int Ftl::programWords(uint32_t addr, uint16_t value, uint32_t count) {
    std::vector<uint8_t> words(2 * size_t(count));
    for (uint32_t i = 0; i < count; ++i) putBe16(&words[2 * i], value);
    return programRun(addr, words.data(), uint32_t(words.size()));
}

int Ftl::eraseUnit(uint32_t u) {
    int rc = flash_.erase(&flash_, int(u * (unitSize_ / flash_.erasableBlockSize)), 1);
    if (rc == plat::flOK) return 0;
    return rc == plat::flWriteProtect ? -EROFS : -EIO;
}

bool Ftl::readHeader(uint32_t u, Header* h) {
    uint8_t b[kHeaderBytes];
    *h = Header{};
    if (readFlash(unitBase(u), b, sizeof b) != 0) return false;
    h->ours = getBe32(b) == kMagic && getBe16(b + 4) == kFormatVersion &&
              getBe16(b + 6) == kHeaderBytes && crc32(b, 28) == getBe32(b + 28);
    if (!h->ours) return true;
    h->unitSize = getBe32(b + 8);
    h->units = getBe32(b + 12);
    h->dataUnits = getBe32(b + 16);
    h->logical = getBe32(b + 20);
    h->erases = getBe32(b + 24);
    h->clean = allOnes(b + 32, kHeaderBytes - 32);
    uint32_t crc = crc32(b + 36, 8, crc32(b, 28));
    h->committed = getBe16(b + 34) == 0 && crc == getBe32(b + 44);
    h->lun = getBe32(b + 36);
    h->seq = getBe32(b + 40);
    return true;
}

std::vector<uint8_t> Ftl::encodeHeader(uint32_t erases, bool committed, uint32_t lun,
                                       uint32_t seq) const {
    std::vector<uint8_t> b(kHeaderBytes, 0xFF);
    putBe32(&b[0], kMagic);
    putBe16(&b[4], kFormatVersion);
    putBe16(&b[6], kHeaderBytes);
    putBe32(&b[8], unitSize_);
    putBe32(&b[12], units_);
    putBe32(&b[16], dataUnits_);
    putBe32(&b[20], logical_);
    putBe32(&b[24], erases);
    putBe32(&b[28], crc32(b.data(), 28));
    if (committed) {
        putBe16(&b[32], 0);
        putBe16(&b[34], 0);
        putBe32(&b[36], lun);
        putBe32(&b[40], seq);
        putBe32(&b[44], crc32(&b[36], 8, crc32(b.data(), 28)));
    }
    return b;
}

uint32_t Ftl::estimatedErases() const {
    uint64_t sum = 0, known = 0;
    for (const Unit& x : unit_)
        if (x.erasesKnown) sum += x.erases, ++known;
    return known ? uint32_t((sum + known - 1) / known) : 0;
}

// Erases a unit and writes a spare header with its erase count.
int Ftl::makeSpare(uint32_t u) {
    Unit& x = unit_[u];
    uint32_t erases = (x.erasesKnown ? x.erases : estimatedErases()) + 1;
    x = Unit{};
    x.kind = Kind::Dirty;
    int rc = eraseUnit(u);
    if (rc == 0) {
        std::vector<uint8_t> h = encodeHeader(erases, false, 0, 0);
        rc = program(unitBase(u), h.data(), kSpareBytes);
    }
    x.erases = erases;
    x.erasesKnown = true;
    if (rc == -EIO) x.kind = Kind::Bad;
    if (rc == 0) x.kind = Kind::Spare;
    return rc;
}

int Ftl::readMap(uint32_t u, std::vector<uint16_t>* states, std::vector<uint8_t>* tags) {
    std::vector<uint8_t> raw(2 * size_t(slots_));
    if (readFlash(stateAddr(u, 0), raw.data(), uint32_t(raw.size())) != 0) return -EIO;
    states->resize(slots_);
    uint32_t used = 0;
    for (uint32_t s = 0; s < slots_; ++s) {
        (*states)[s] = getBe16(&raw[2 * s]);
        if ((*states)[s] != kStateFree) used = s + 1;
    }
    tags->assign(6 * size_t(used), 0xFF);
    return used ? readFlash(tagAddr(u, 0), tags->data(), uint32_t(tags->size())) : 0;
}

// Enters a data unit's valid copies in the sector map; older copies of a
// sector found twice go to `stale`.
int Ftl::scanUnit(uint32_t u, std::vector<uint32_t>* stale) {
    std::vector<uint16_t> states;
    std::vector<uint8_t> tags;
    if (readMap(u, &states, &tags) != 0) return -EIO;
    Unit& x = unit_[u];
    x.used = uint32_t(tags.size() / 6);
    x.valid = 0;
    for (uint32_t s = 0; s < x.used; ++s) {
        uint32_t lsn = getBe32(&tags[6 * s]);
        uint16_t version = getBe16(&tags[6 * s + 4]);
        if (states[s] != kStateValid || lsn >= logical_) continue;
        uint32_t here = u << 16 | s, there = map_[lsn];
        if (there != kNowhere) {
            int16_t newer = int16_t(uint16_t(version - version_[lsn]));
            bool replaces = newer > 0 || (newer == 0 && x.seq > unit_[there >> 16].seq);
            if (!replaces) {
                stale->push_back(here);
                continue;
            }
            stale->push_back(there);
            --unit_[there >> 16].valid;
        }
        map_[lsn] = here;
        version_[lsn] = version;
        ++x.valid;
    }
    return 0;
}

int Ftl::mount() {
    mounted_ = false;
    current_ = -1;
    repairs_.clear();
    int rc = setGeometry();
    if (rc != 0) return rc;
    unit_.assign(units_, Unit{});
    std::vector<Header> headers(units_);
    const Header* first = nullptr;
    for (uint32_t u = 0; u < units_; ++u) {
        if (!readHeader(u, &headers[u])) return -EIO;
        const Header& h = headers[u];
        if (!first && h.ours && h.unitSize == unitSize_ && h.units == units_) first = &h;
    }
    if (!first) return -ENODEV;
    dataUnits_ = first->dataUnits;
    logical_ = first->logical;
    if (dataUnits_ < 2 || dataUnits_ >= units_ || logical_ == 0 ||
        logical_ >= uint64_t(dataUnits_) * slots_)
        return -ENODEV;

    // Which unit stands for each logical unit; the loser of two is stale.
    std::vector<int> owner(dataUnits_, -1);
    for (uint32_t u = 0; u < units_; ++u) {
        const Header& h = headers[u];
        Unit& x = unit_[u];
        bool ours = h.ours && h.unitSize == unitSize_ && h.units == units_ &&
                    h.dataUnits == dataUnits_ && h.logical == logical_;
        x.erasesKnown = ours;
        x.erases = ours ? h.erases : 0;
        if (ours && h.committed && h.lun < dataUnits_) {
            x.kind = Kind::Data;
            x.lun = h.lun;
            x.seq = h.seq;
            int& o = owner[h.lun];
            if (o >= 0 && unit_[o].seq >= h.seq) {
                x.kind = Kind::Dirty;
                continue;
            }
            if (o >= 0) unit_[o].kind = Kind::Dirty;
            o = int(u);
        } else {
            x.kind = ours && h.clean ? Kind::Spare : Kind::Dirty;
        }
    }
    seq_ = 0;
    for (int o : owner) {
        if (o < 0) return -ENODEV;
        seq_ = std::max(seq_, unit_[o].seq);
    }

    map_.assign(logical_, kNowhere);
    version_.assign(logical_, 0);
    std::vector<uint32_t> stale;
    for (int o : owner)
        if (scanUnit(uint32_t(o), &stale) != 0) return -EIO;
    mounted_ = true;
    if (!stale.empty()) {
        deleteCopies(stale);
        repairs_.push_back(phrase(uint32_t(stale.size()), "stale sector copy dropped",
                                  "stale sector copies dropped"));
    }
    uint32_t recovered = 0;
    for (uint32_t u = 0; u < units_; ++u)
        if (unit_[u].kind == Kind::Dirty && makeSpare(u) == 0) ++recovered;
    if (recovered)
        repairs_.push_back(phrase(recovered, "flash unit recovered", "flash units recovered"));
    return 0;
}

int Ftl::planFormat(const plat::TffsFormatParams& params) {
    int rc = setGeometry();
    if (rc != 0) return rc;
    if (params.bootImageLen != 0 || params.percentUse < 1 || params.percentUse > 100 ||
        params.noOfSpareUnits < 1 || uint32_t(params.noOfSpareUnits) + 2 > units_)
        return -EINVAL;
    dataUnits_ = units_ - uint32_t(params.noOfSpareUnits);
    uint64_t slots = uint64_t(dataUnits_) * slots_;
    // The slots held back let a reclaim always find a deleted one.
    logical_ = uint32_t(std::min<uint64_t>(slots * uint32_t(params.percentUse) / 100, slots - 1));
    return 0;
}

uint32_t Ftl::formatSectors(const plat::TffsFormatParams& params) {
    if (mounted_) return 0;
    return planFormat(params) == 0 ? logical_ : 0;
}

int Ftl::format(const plat::TffsFormatParams& params, int lastPercent) {
    mounted_ = false;
    current_ = -1;
    repairs_.clear();
    int rc = planFormat(params);
    if (rc != 0) return rc;

    // Erase counts survive a format where the old headers still tell them.
    unit_.assign(units_, Unit{});
    for (uint32_t u = 0; u < units_; ++u) {
        Header h;
        if (readHeader(u, &h) && h.ours) {
            unit_[u].erases = h.erases;
            unit_[u].erasesKnown = true;
        }
    }
    int reported = -1;
    auto report = [&](uint64_t done, uint64_t total) {
        int percent = int(uint64_t(lastPercent) * done / total);
        if (params.progress && percent > reported) params.progress(percent);
        reported = std::max(reported, percent);
    };
    report(0, 1);
    // Every unit is erased before any header is written: a format cut short
    // leaves logical units missing, never a mixture of old and new ones.
    std::vector<uint8_t> area(headerSectors_ * kSectorSize);
    for (uint32_t u = 0; u < units_; ++u) {
        if ((rc = readFlash(unitBase(u), area.data(), uint32_t(area.size()))) != 0) return rc;
        if (!allOnes(area.data(), area.size())) {
            if ((rc = eraseUnit(u)) != 0) return rc;
            unit_[u].erases = (unit_[u].erasesKnown ? unit_[u].erases : estimatedErases()) + 1;
            unit_[u].erasesKnown = true;
        }
        report(u + 1, units_ + 1);
    }
    for (uint32_t u = 0; u < units_; ++u) {
        Unit& x = unit_[u];
        bool data = u < dataUnits_;
        std::vector<uint8_t> h = encodeHeader(x.erases, data, u, 0);
        if ((rc = program(unitBase(u), h.data(), data ? kCommittedBytes : kSpareBytes)) != 0)
            return rc;
        x.kind = data ? Kind::Data : Kind::Spare;
        x.lun = u;
        x.seq = x.used = x.valid = 0;
        x.erasesKnown = true;
    }
    map_.assign(logical_, kNowhere);
    version_.assign(logical_, 0);
    seq_ = 0;
    mounted_ = true;
    report(1, 1);
    return 0;
}

std::vector<uint32_t> Ftl::eraseCounts() const {
    std::vector<uint32_t> counts;
    for (const Unit& x : unit_) counts.push_back(x.erases);
    return counts;
}

}  // namespace fs
