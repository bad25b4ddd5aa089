// The allocation table's entries in RAM and their write-back to every copy;
// entry format: fat_table.h.
#include "fs/fat_table.h"

#include "fs/bytes.h"

namespace fs {

void FatTable::load(const FatGeometry& g, std::vector<uint8_t> bytes) {
    g_ = g;
    bytes_ = std::move(bytes);
    bytes_.resize(size_t(g.fatSectors) * kSectorSize);
    dirty_.assign(g.fatSectors, 0);
    free_ = 0;
    for (uint32_t c = 2; c < g.clusterCount + 2; ++c)
        if (get(c) == 0) ++free_;
}

uint32_t FatTable::get(uint32_t c) const {
    // Callers check their clusters; anything else reads as the end of a chain.
    size_t at = offsetOf(c);
    if (at + 2 > bytes_.size()) return g_.endOfChain();
    uint32_t word = getLe16(&bytes_[at]);
    if (g_.type == FatType::Fat16) return word;
    return c & 1 ? word >> 4 : word & 0xFFF;
}

void FatTable::set(uint32_t c, uint32_t value) {
    if (!g_.validCluster(c) && c > 1) return;
    uint32_t old = get(c);
    if (g_.validCluster(c) && (old == 0) != (value == 0)) value == 0 ? ++free_ : --free_;
    size_t at = offsetOf(c);
    uint32_t word = value & 0xFFFF;
    if (g_.type == FatType::Fat12) {
        uint32_t stored = getLe16(&bytes_[at]);
        word =
            c & 1 ? (stored & 0x000F) | (value & 0xFFF) << 4 : (stored & 0xF000) | (value & 0xFFF);
    }
    putLe16(&bytes_[at], word);
    touch(at);
    touch(at + 1);
}

int FatTable::flush(BlockDevice& dev) {
    for (uint32_t copy = 0; copy < g_.fatCount; ++copy) {
        uint32_t base = g_.reservedSectors + copy * g_.fatSectors;
        for (uint32_t s = 0; s < g_.fatSectors;) {
            if (!dirty_[s]) {
                ++s;
                continue;
            }
            uint32_t run = 1;
            while (s + run < g_.fatSectors && dirty_[s + run]) ++run;
            int rc = dev.write(base + s, run, &bytes_[size_t(s) * kSectorSize]);
            if (rc != 0) return rc;
            s += run;
        }
    }
    dirty_.assign(dirty_.size(), 0);
    return 0;
}

}  // namespace fs
