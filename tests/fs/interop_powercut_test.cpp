// Power cuts under the flash volume: at every step of a short scenario on an
// in-memory flash, and at random bus cycles of long scenarios on the board's
// NOR chip model (STK_POWERCUT_CUTS cuts each, default 3, fixed seed). After
// each cut the volume mounts, every file holds the contents of its last
// completed change or of the one cut short, fsck.fat -n finds the exported
// volume clean, and a second mount has nothing left to repair.
#include <cstdlib>
#include <map>
#include <optional>
#include <random>

#include "sim/nor_chip.h"
#include "bootflash/bootflash.h"
#include "fs/flash_volume.h"
#include "support/pty_harness.h"
#include "support/ram_mtd.h"
#include "support/test_board.h"

namespace {

using Contents = std::optional<std::string>;  // nothing: no such file
struct Op {
    enum Kind { Put, Rewrite, Rename, Format } kind;
    std::string path, data;  // Rename: data is the new path
};
const std::vector<std::string> kPaths = {"files/image1", "files/xcode.bin", "files/log2.bin",
                                         "files/boot.dim"};

class PowerCut : public ::testing::Test {
  protected:
    // Runs the operations on the flash disk; done/pending follow each file.
    void run(const std::vector<Op>& ops) {
        pending = done;
        volume.reset();
        if (driver.mount(&volume) != plat::flOK) return;
        for (const Op& op : ops) {
            if (op.kind == Op::Format) {
                volume.reset();
                for (auto& f : pending) f.second.reset();
                ASSERT_EQ(driver.format(plat::TffsFormatParams{}), plat::flOK);
                ASSERT_EQ(driver.mount(&volume), plat::flOK);
                ASSERT_EQ(volume->mkdir("files"), 0);
            } else if (op.kind == Op::Rename) {
                pending[op.data] = done[op.path];
                pending[op.path].reset();
                ASSERT_EQ(volume->rename(op.path, op.data), 0);
            } else {
                // Opening creates the file, empty, before its data comes.
                if (!done[op.path]) pending[op.path] = "";
                int h = volume->open(op.path, op.kind == Op::Put ? 0x602 : 0x202);
                done = pending;
                pending[op.path] = op.data;
                for (size_t at = 0; at < op.data.size(); at += 1024)
                    volume->write(h, op.data.data() + at,
                                  std::min<size_t>(1024, op.data.size() - at));
                volume->truncate(h, op.data.size());
                ASSERT_EQ(volume->close(h), 0);
            }
            done = pending;
        }
        volume.reset();
    }
    Contents read(const std::string& path) {
        int h = volume->open(path, plat::kOpenRead);
        plat::Stat st;
        if (h < 0 || volume->fstat(h, &st) != 0) return std::nullopt;
        std::string bytes(st.size, '\0');
        volume->read(h, bytes.data(), bytes.size());
        volume->close(h);
        return bytes;
    }
    // The checks after a cut, on a board that has just been powered on.
    void expectRecovered(const std::string& cut) {
        SCOPED_TRACE(cut);
        volume.reset();
        if (driver.mount(&volume) != plat::flOK) {  // a format cut short
            ASSERT_EQ(driver.format(plat::TffsFormatParams{}), plat::flOK);
            ASSERT_EQ(driver.mount(&volume), plat::flOK);
        }
        for (const std::string& path : kPaths) {
            Contents now = read(path);
            EXPECT_TRUE(now == done[path] || now == pending[path]) << path;
        }
        volume.reset();
        std::vector<uint8_t> image;
        ASSERT_EQ(fs::exportFlashImage(&image), 0);
        std::string img = tb.dir() + "/export.img", out;
        stktest::writeHostFile(
            img, std::string(reinterpret_cast<const char*>(image.data()), image.size()));
        EXPECT_EQ(stktest::runTool({"fsck.fat", "-n", img}, &out), 0) << out;
        tb.con().takeOutput();
        ASSERT_EQ(driver.mount(&volume), plat::flOK);
        EXPECT_EQ(tb.con().takeOutput(), "");
        volume.reset();
    }
    // A new board on the same folder, its chip on coarse bus cycles (few
    // status reads per erase).
    NorChip* powerOn() {
        tb.powerOn();
        NorChip* chip = plat::board().map().find<NorChip>();
        chip->setBusCycleNs(100000);
        Flash_Init();
        return chip;
    }
    void setUpFiles() {
        ASSERT_EQ(driver.format(plat::TffsFormatParams{}), plat::flOK);
        ASSERT_EQ(driver.mount(&volume), plat::flOK);
        ASSERT_EQ(volume->mkdir("files"), 0);
        volume.reset();
        run({{Op::Put, "files/image1", stktest::randomBytes(20000, 1)},
             {Op::Put, "files/log2.bin", stktest::randomBytes(16384, 2)},
             {Op::Put, "files/boot.dim", "image1 active"}});
    }

    stktest::TestBoard tb{false};
    fs::FlashVolumeDriver driver;
    std::unique_ptr<plat::Volume> volume;
    std::map<std::string, Contents> done, pending;
};

TEST_F(PowerCut, AtEveryStepOfAShortScenario) {
    RamMtd mtd(16 << 10, 160);  // 2.5 MiB: FAT16, as the flash disk
    mtd.install();
    setUpFiles();
    const std::vector<Op> ops = {
        {Op::Rewrite, "files/log2.bin", stktest::randomBytes(16000, 3)},
        {Op::Put, "files/xcode.bin", stktest::randomBytes(12000, 4)},
        {Op::Rename, "files/xcode.bin", "files/image1"},
        {Op::Rewrite, "files/boot.dim", "image1 active, image2 backup"},
    };
    std::vector<uint8_t> before = mtd.bytes();
    auto start = done;
    uint64_t first = mtd.steps();
    run(ops);
    uint64_t steps = mtd.steps() - first;
    ASSERT_GT(steps, 300u);
    for (uint64_t cut = 1; cut <= steps; ++cut) {
        mtd.bytes() = before;
        mtd.install();
        done = start;
        mtd.cutPowerAfter(cut);
        EXPECT_TRUE(tb.run([&] { run(ops); }).has_value());
        volume.reset();
        mtd.install();
        expectRecovered("cut at step " + std::to_string(cut));
    }
}

// Random cuts (by bus cycle) in an image stored as a received file renamed
// over the old image, a small file rewritten in place, and a format.
TEST_F(PowerCut, AtRandomCyclesOfLongScenariosOnTheChip) {
    const char* env = std::getenv("STK_POWERCUT_CUTS");
    int cuts = env ? std::atoi(env) : 3;
    std::mt19937 rng(2024);
    const std::vector<std::vector<Op>> scenarios = {
        {{Op::Put, "files/xcode.bin", stktest::randomBytes(3 << 20, 5)},
         {Op::Rename, "files/xcode.bin", "files/image1"}},
        {{Op::Rewrite, "files/log2.bin", stktest::randomBytes(16384, 6)}},
        {{Op::Format, "", ""}},
    };
    std::string flash = tb.dir() + "/norflash.bin";
    for (const auto& ops : scenarios) {
        NorChip* chip = powerOn();
        done.clear();
        setUpFiles();
        std::string before = stktest::readHostFile(flash);
        auto start = done;
        uint64_t first = chip->busCycles();
        run(ops);
        uint64_t cycles = chip->busCycles() - first;
        for (int i = 0; i < cuts; ++i) {
            uint64_t at = 1 + rng() % cycles;
            stktest::writeHostFile(flash, before);
            chip = powerOn();
            done = start;
            chip->cutPowerAfter(at);
            EXPECT_TRUE(tb.run([&] { run(ops); }).has_value());
            chip->failNext(NorChip::Op::Program, 1 << 30);  // the power is off
            chip->failNext(NorChip::Op::Erase, 1 << 30);
            volume.reset();
            powerOn();
            expectRecovered("cut at cycle " + std::to_string(at) + " of " + std::to_string(cycles));
        }
    }
}

}  // namespace
