// The translation layer on an in-memory NOR flash: sectors survive remounts
// and reclaims, wear spreads, a full layer keeps working, bad slots are
// skipped, and a power cut at any step leaves every sector old or new.
#include "fs/ftl.h"

#include <algorithm>
#include <numeric>
#include <random>

#include "fs/flash_volume.h"
#include "support/ram_mtd.h"
#include "support/test_board.h"

namespace {

std::vector<uint8_t> pattern(uint32_t seed, uint32_t count = 1) {
    std::vector<uint8_t> bytes(count * fs::kSectorSize);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] =
            seed ? uint8_t((seed + i / fs::kSectorSize) * 131 + i % fs::kSectorSize * 7) | 1 : 0;
    return bytes;
}

class FtlTest : public ::testing::Test {
  protected:
    FtlTest() { mtd.install(); }
    std::unique_ptr<fs::Ftl> ftl(bool format) {
        auto f = std::make_unique<fs::Ftl>(mtd.flash());
        EXPECT_EQ(format ? f->format(plat::TffsFormatParams{}, 100) : f->mount(), 0);
        return f;
    }
    // Sector i holds pattern(seeds[i]) (0: zeros).
    void expectContents(fs::Ftl& f, const std::vector<uint32_t>& seeds) {
        std::vector<uint8_t> got(fs::kSectorSize);
        for (uint32_t i = 0; i < seeds.size(); ++i) {
            ASSERT_EQ(f.read(i, 1, got.data()), 0);
            ASSERT_EQ(got, pattern(seeds[i])) << "sector " << i;
        }
    }
    stktest::TestBoard tb{false};
    RamMtd mtd{8192, 12};
};

// A full layer (every sector written) takes random rewrites, then discards
// among them too; the reclaims keep every sector, a remount finds them all
// and nothing to repair, and a second format keeps each unit's erase count.
TEST_F(FtlTest, FullLayerSurvivesRewritesDiscardsRemountsAndFormat) {
    std::vector<int> progress;
    plat::TffsFormatParams params;
    static std::vector<int>* seen;
    seen = &progress;
    params.progress = [](int percent) { seen->push_back(percent); };
    fs::Ftl f(mtd.flash());
    ASSERT_EQ(f.format(params, 100), 0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(std::adjacent_find(progress.begin(), progress.end()), progress.end());
    EXPECT_EQ(progress.back(), 100);
    const uint32_t n = f.sectorCount();
    std::vector<uint32_t> seeds(n);
    std::iota(seeds.begin(), seeds.end(), 1);
    ASSERT_EQ(f.write(0, n, pattern(1, n).data()), 0);
    std::mt19937 rng(3);
    for (uint32_t round = 1; round < 500; ++round) {
        uint32_t count = 1 + rng() % 4, first = rng() % (n - count), seed = 1000 + 4 * round;
        bool discard = round > 250 && rng() % 8 == 0;
        ASSERT_EQ(
            discard ? f.discard(first, count) : f.write(first, count, pattern(seed, count).data()),
            0);
        for (uint32_t i = 0; i < count; ++i) seeds[first + i] = discard ? 0 : seed + i;
    }
    EXPECT_GT(f.reclaims(), 0u);
    expectContents(f, seeds);
    auto again = ftl(false);
    expectContents(*again, seeds);
    EXPECT_TRUE(again->repairs().empty());
    EXPECT_EQ(again->write(n, 1, pattern(1).data()), -EINVAL);
    std::vector<uint32_t> before = f.eraseCounts();
    auto formatted = ftl(true);
    for (size_t u = 0; u < before.size(); ++u)
        EXPECT_EQ(formatted->eraseCounts()[u], before[u] + 1);
}

TEST_F(FtlTest, MountRefusesFlashWithoutACompleteLayer) {
    EXPECT_EQ(fs::Ftl(mtd.flash()).mount(), -ENODEV);
    ftl(true);
    std::fill_n(mtd.bytes().begin() + 8192 * 3, 64, 0);  // one unit's header gone
    EXPECT_EQ(fs::Ftl(mtd.flash()).mount(), -ENODEV);
}

TEST_F(FtlTest, SlotsThatRefuseProgramsAreSkipped) {
    auto f = ftl(true);
    // Bits already cleared in the first data slot of three units: the
    // program's check fails there and the write goes elsewhere.
    for (uint32_t u = 0; u < 3; ++u) mtd.bytes()[u * 8192 + 512 + 5] = 0;
    ASSERT_EQ(f->write(0, 2, pattern(9, 2).data()), 0);
    expectContents(*ftl(false), {9, 10});
}

// A file that never changes, and an image stored a hundred times the way the
// boot program stores one: received into a file that is then renamed over it.
TEST(FtlWear, ImageStoresSpreadErasesOverAllUnits) {
    stktest::TestBoard tb{false};
    RamMtd wide(8192, 64);
    wide.install();
    fs::FlashVolumeDriver driver;
    ASSERT_EQ(driver.format(plat::TffsFormatParams{}), plat::flOK);
    std::unique_ptr<plat::Volume> v;
    ASSERT_EQ(driver.mount(&v), plat::flOK);
    auto put = [&](const char* name, uint32_t sectors, uint32_t seed) {
        int h = v->open(name, plat::kOpenReadWrite | plat::kOpenCreate | plat::kOpenTrunc);
        ASSERT_EQ(v->write(h, pattern(seed, sectors).data(), sectors * fs::kSectorSize),
                  long(sectors * fs::kSectorSize));
        ASSERT_EQ(v->close(h), 0);
    };
    put("still", 200, 1);
    for (uint32_t store = 0; store < 100; ++store) {
        put("xcode.bin", 300, store + 2);
        ASSERT_EQ(v->rename("xcode.bin", "image1"), 0);
    }
    std::vector<uint32_t> counts;
    for (uint32_t u = 0; u < 64; ++u) counts.push_back(wide.erases(u));
    double mean = std::accumulate(counts.begin(), counts.end(), 0.0) / double(counts.size());
    EXPECT_GT(mean, 10.0);
    EXPECT_LE(*std::max_element(counts.begin(), counts.end()), 2 * mean);
}

// Writes and rewrites that force reclaims, cut at every step: each sector
// reads the contents of its last completed write or of the one cut short,
// the next mount finds nothing left to repair, and the layer takes writes.
TEST_F(FtlTest, PowerCutAtEveryStepLeavesEverySectorOldOrNew) {
    auto f = ftl(true);
    uint32_t n = f->sectorCount();
    std::vector<uint32_t> filled(n);
    std::iota(filled.begin(), filled.end(), 1);
    ASSERT_EQ(f->write(0, n, pattern(1, n).data()), 0);
    std::vector<uint8_t> formatted = mtd.bytes();
    auto scenario = [&](std::vector<uint32_t>* done, std::vector<uint32_t>* pending) {
        fs::Ftl layer(mtd.flash());
        if (layer.mount() != 0) return;
        for (uint32_t round = 1; round <= 6; ++round) {
            uint32_t first = round * 37 % (n - 20), count = 1 + round % 17;
            for (uint32_t i = 0; i < count; ++i) (*pending)[first + i] = round * 100 + i;
            layer.write(first, count, pattern(round * 100, count).data());
            for (uint32_t i = 0; i < count; ++i) (*done)[first + i] = round * 100 + i;
        }
    };
    std::vector<uint32_t> done = filled, pending = filled;
    uint64_t start = mtd.steps();
    scenario(&done, &pending);
    uint64_t steps = mtd.steps() - start;
    ASSERT_GT(steps, 1000u);  // reclaims among them
    for (uint64_t cut = 1; cut <= steps; ++cut) {
        SCOPED_TRACE("cut at step " + std::to_string(cut));
        mtd.bytes() = formatted;
        done = pending = filled;
        mtd.cutPowerAfter(cut);
        EXPECT_TRUE(tb.run([&] { scenario(&done, &pending); }).has_value());
        mtd.install();  // the next power-on
        auto after = ftl(false);
        std::vector<uint8_t> got(fs::kSectorSize);
        for (uint32_t i = 0; i < n; ++i) {
            ASSERT_EQ(after->read(i, 1, got.data()), 0);
            ASSERT_TRUE(got == pattern(done[i]) || got == pattern(pending[i])) << "sector " << i;
        }
        ASSERT_EQ(after->write(n - 1, 1, pattern(5).data()), 0);
        EXPECT_TRUE(ftl(false)->repairs().empty());
    }
}

}  // namespace
