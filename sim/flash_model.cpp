#include "sim/flash_model.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/host/board.h"

namespace sim {

FlashModel::FlashModel(plat::Clock& clock, std::string filePath, uint32_t size, bool wholeFile)
    : clock_(clock),
      virtualClock_(clock.isVirtual()),
      file_(std::move(filePath)),
      fileSize_(file_.size()),
      size_(size),
      wholeFile_(wholeFile),
      pages_(size / kPageSize) {}

FlashModel::~FlashModel() = default;

uint8_t* FlashModel::page(uint32_t index) {
    auto& bytes = pages_[index];
    if (!bytes) {
        bytes = std::make_unique<uint8_t[]>(kPageSize);
        std::memset(bytes.get(), 0xFF, kPageSize);
        uint64_t start = uint64_t(index) * kPageSize;
        if (fileSize_ > start) file_.readAt(start, bytes.get(), kPageSize);
    }
    return bytes.get();
}

void FlashModel::stuckBits(uint32_t offset, uint32_t length, uint16_t mask, bool high) {
    if (length > 0) stuck_.push_back(Stuck{offset / 2, (offset + length - 1) / 2, mask, high});
}

void FlashModel::cutPowerAfter(uint64_t cycles) {
    cutAt_ = cycles ? cycles_ + cycles : 0;
}

uint64_t FlashModel::tick(uint64_t n) {
    cycles_ += n;
    // Chip time runs at least one bus cycle per access, also on a host whose
    // accesses are far faster than the board's; a virtual clock is moved on
    // by it, so the board's time includes the bus traffic.
    uint64_t clockUs = clock_.nowUs();
    chipNs_ = std::max(clockUs * 1000, chipNs_ + n * cycleNs_);
    if (virtualClock_ && chipNs_ / 1000 > clockUs) clock_.sleepUs(chipNs_ / 1000 - clockUs);
    if (chipNs_ >= dueNs_) {
        dueNs_ = kNever;
        finishDue(chipNs_);
    }
    if (cutAt_ != 0 && cycles_ >= cutAt_) {
        cutAt_ = 0;
        losePower();
    }
    return chipNs_;
}

uint64_t FlashModel::skipPolls(uint32_t offset, uint64_t changeNs) {
    // A run of reads at one address with no other cycle between them.
    pollRun_ = pollOffset_ == offset && pollCycle_ + 1 == cycles_ ? pollRun_ + 1 : 1;
    pollOffset_ = offset;
    pollCycle_ = cycles_;
    if (tracing_ || pollRun_ < kPollsBeforeSkip || changeNs <= chipNs_ + cycleNs_) return 0;
    // The reads after this one that still come before the change; a cut
    // comes at its own cycle.
    uint64_t reads = (changeNs - chipNs_ - 1) / cycleNs_;
    if (cutAt_ != 0) reads = std::min(reads, cutAt_ > cycles_ ? cutAt_ - cycles_ - 1 : 0);
    if (reads == 0) return 0;
    tick(reads);
    statusReads_ += reads;
    pollCycle_ = cycles_;
    return reads;
}

uint64_t FlashModel::clockNs() const {
    return std::max(clock_.nowUs() * 1000, chipNs_);
}

bool FlashModel::stuckIn(uint32_t first, uint32_t last) const {
    for (const auto& s : stuck_)
        if (s.first <= last && first <= s.last) return true;
    return false;
}

bool FlashModel::readBlock(uint32_t offset, void* dst, uint32_t len) {
    // Word reads in read mode change nothing but time; what may happen within
    // the block (a cut, an operation ending, a traced cycle) takes the cycles.
    if (!inArrayMode() || tracing_ || (offset | len) & 1 || len == 0 || offset >= size_ ||
        len > size_ - offset || stuckIn(offset / 2, (offset + len - 1) / 2))
        return false;
    uint64_t words = len / 2;
    if (cutAt_ != 0 && cycles_ + words >= cutAt_) return false;
    auto* out = static_cast<uint8_t*>(dst);
    for (uint32_t at = offset; at < offset + len;) {
        uint32_t n = std::min(offset + len - at, kPageSize - at % kPageSize);
        std::memcpy(out + (at - offset), cell(at), n);
        at += n;
    }
    tick(words);
    return true;
}

uint16_t FlashModel::arrayWord(uint32_t offset) {
    const uint8_t* p = cell(offset);
    uint16_t value = uint16_t(p[0] << 8 | p[1]);
    uint32_t word = offset / 2;
    for (const auto& s : stuck_)
        if (word >= s.first && word <= s.last)
            value = s.high ? uint16_t(value | s.mask) : uint16_t(value & ~s.mask);
    return value;
}

void FlashModel::programWord(uint32_t offset, uint16_t value) {
    uint8_t* p = cell(offset);
    p[0] &= uint8_t(value >> 8);
    p[1] &= uint8_t(value);
}

void FlashModel::eraseRange(uint32_t offset, uint32_t length) {
    for (uint32_t at = offset; at < offset + length; at += kPageSize)
        std::memset(cell(at), 0xFF, std::min(kPageSize, offset + length - at));
}

void FlashModel::scrambleErase(uint32_t offset, uint32_t length) {
    for (uint32_t at = offset; at < offset + length; ++at) *cell(at) |= uint8_t(noise_());
}

uint16_t FlashModel::scrambled(uint16_t value) {
    return uint16_t(value | noise_());
}

void FlashModel::powerLost() {
    plat::BoardStop stop{plat::BoardStop::Kind::PowerLoss};
    stop.note = "NOR flash power cut by fault injection";
    throw stop;
}

// The file grows with erased bytes (or what the cells hold) up to `end`;
// pages never touched are erased and need not be loaded for that.
bool FlashModel::growFileTo(uint64_t end) {
    static const std::vector<uint8_t> erased(kPageSize, 0xFF);
    if (fileSize_ >= end) return true;
    bool mapped = map_ && file_.allocate(end);
    while (fileSize_ < end) {
        uint32_t index = uint32_t(fileSize_ / kPageSize);
        uint32_t from = uint32_t(fileSize_ % kPageSize);
        uint32_t upTo = uint32_t(std::min<uint64_t>(kPageSize, end - uint64_t(index) * kPageSize));
        const uint8_t* bytes = pages_[index] ? pages_[index].get() : erased.data();
        if (mapped)
            std::memcpy(map_ + fileSize_, bytes + from, upTo - from);
        else if (!file_.writeAt(fileSize_, bytes + from, upTo - from))
            return false;
        fileSize_ += upTo - from;
    }
    return true;
}

// The cells reach the file through a shared mapping of it: a store instead of
// a write call per operation, in the file at once whatever becomes of the
// process. The file grows a page at a time.
void FlashModel::persist(uint32_t offset, uint32_t length) {
    if (!map_) map_ = file_.map(size_);
    uint64_t end = uint64_t(offset) + length;
    if (!growFileTo(wholeFile_
                        ? size_
                        : std::min<uint64_t>(size_, (end + kPageSize - 1) / kPageSize * kPageSize)))
        return;
    for (uint32_t at = offset; at < end;) {
        uint32_t n = std::min(uint32_t(end) - at, kPageSize - at % kPageSize);
        if (map_)
            std::memcpy(map_ + at, cell(at), n);
        else if (!file_.writeAt(at, cell(at), n))
            return;
        at += n;
    }
}

}  // namespace sim
