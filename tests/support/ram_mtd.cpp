#include "support/ram_mtd.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "platform/host/board.h"

namespace {
RamMtd* installed = nullptr;
}

RamMtd::RamMtd(uint32_t unitSize, uint32_t units)
    : unitSize_(unitSize), bytes_(size_t(unitSize) * units, 0xFF), erases_(units, 0) {}

void RamMtd::install() {
    installed = this;
    off_ = false;
    plat::board().map().detach(this);
    plat::board().map().attach(kBase, uint32_t(bytes_.size()), this, "RAM MTD");
    plat::tffsMtdRegister(identify);
}

plat::FLFlash RamMtd::flash() {
    plat::FLFlash f;
    installed = this;
    identify(&f);
    return f;
}

int RamMtd::identify(plat::FLFlash* f) {
    f->erasableBlockSize = installed->unitSize_;
    f->chipSize = uint32_t(installed->bytes_.size());
    f->noOfChips = f->interleaving = 1;
    f->map = map;
    f->write = program;
    f->erase = erase;
    return plat::flOK;
}

bool RamMtd::read(uint32_t offset, int width, uint32_t* value) {
    if (offset + uint32_t(width) > bytes_.size()) return false;
    *value = 0;
    for (int i = 0; i < width; ++i) *value = *value << 8 | bytes_[offset + uint32_t(i)];
    return true;
}

uint8_t* RamMtd::memory(uint32_t offset, uint32_t len) {
    return uint64_t(offset) + len <= bytes_.size() ? bytes_.data() + offset : nullptr;
}

uint32_t RamMtd::map(plat::FLFlash*, uint32_t cardAddress, int) {
    return kBase + cardAddress;
}

// One step: the cells take the target (nullptr: erased); a cut leaves them
// between the two, turns the power off and stops the board.
void RamMtd::step(uint8_t* cells, size_t n, const uint8_t* target) {
    ++steps_;
    bool cut = cutAt_ != 0 && steps_ >= cutAt_;
    std::minstd_rand noise{uint32_t(steps_)};
    for (size_t i = 0; i < n; ++i) {
        uint8_t bits = cut ? uint8_t(noise() >> 8) : 0;
        uint8_t erased = cut ? uint8_t(cells[i] | bits) : 0xFF;
        cells[i] = target ? uint8_t(cells[i] & (target[i] | bits)) : erased;
    }
    if (!cut) return;
    cutAt_ = 0;
    off_ = true;
    throw plat::BoardStop(plat::BoardStop::Kind::PowerLoss);
}

int RamMtd::program(plat::FLFlash* f, uint32_t at, const void* buffer, int length, int) {
    RamMtd& m = *installed;
    if (f->socket && plat::flWriteProtected(f->socket)) return plat::flWriteProtect;
    if (m.off_ || length < 0 || at + uint64_t(length) > m.bytes_.size()) return plat::flWriteFault;
    const uint8_t* data = static_cast<const uint8_t*>(buffer);
    for (uint32_t done = 0; done < uint32_t(length);) {
        uint32_t piece = std::min<uint32_t>(64 - (at + done) % 64, uint32_t(length) - done);
        m.step(&m.bytes_[at + done], piece, data + done);
        done += piece;
    }
    return std::memcmp(&m.bytes_[at], data, size_t(length)) == 0 ? plat::flOK : plat::flWriteFault;
}

int RamMtd::erase(plat::FLFlash* f, int first, int count) {
    RamMtd& m = *installed;
    if (f->socket && plat::flWriteProtected(f->socket)) return plat::flWriteProtect;
    if (m.off_) return plat::flWriteFault;
    for (int b = first; b < first + count; ++b) {
        if (b < 0 || size_t(b + 1) * m.unitSize_ > m.bytes_.size()) return plat::flWriteFault;
        m.step(&m.bytes_[size_t(b) * m.unitSize_], m.unitSize_, nullptr);
        ++m.erases_[size_t(b)];
    }
    return plat::flOK;
}
