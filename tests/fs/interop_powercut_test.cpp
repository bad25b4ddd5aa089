// Power cuts at every step of a short scenario on the flash volume over an
// in-memory flash: a log rewritten in place, an image received into a file
// and renamed over the old one, the image list rewritten. After each cut the
// volume mounts, every file holds the contents of its last completed change
// or of the one cut short, fsck.fat -n finds the exported volume clean, and a
// second mount has nothing left to repair. Cuts at random bus cycles of the
// board's NOR chip, through the boot program's own store, list rewrite and
// format, are in interop_boot_powercut_test.cpp.
#include <map>
#include <optional>

#include "fs/flash_volume.h"
#include "support/board_volume_files.h"
#include "support/pty_harness.h"
#include "support/ram_mtd.h"
#include "support/test_board.h"

namespace {

using Contents = std::optional<std::string>;  // nothing: no such file
struct Op {
    enum Kind { Put, Rewrite, Rename } kind;
    std::string path, data;  // Rename: data is the new path
};
const std::vector<std::string> kPaths = {"files/image1", "files/xcode.bin", "files/log2.bin",
                                         "files/boot.dim"};

class PowerCut : public ::testing::Test {
  protected:
    // Runs the operations on the flash disk; done/pending follow each file.
    void run(const std::vector<Op>& ops) {
        pending = done;
        if (driver.mount(&volume) != plat::flOK) return;
        for (const Op& op : ops) {
            if (op.kind == Op::Rename) {
                pending[op.data] = done[op.path];
                pending[op.path].reset();
                ASSERT_EQ(volume->rename(op.path, op.data), 0);
            } else {
                // Opening creates the file, empty, before its data comes.
                if (!done[op.path]) pending[op.path] = "";
                int trunc = op.kind == Op::Put ? plat::kOpenTrunc : 0;
                int h = volume->open(op.path, plat::kOpenReadWrite | plat::kOpenCreate | trunc);
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

    stktest::TestBoard tb{false};
    fs::FlashVolumeDriver driver;
    std::unique_ptr<plat::Volume> volume;
    std::map<std::string, Contents> done, pending;
};

TEST_F(PowerCut, AtEveryStepOfAShortScenario) {
    RamMtd mtd(16 << 10, 160);  // 2.5 MiB: FAT16, as the flash disk
    mtd.install();
    ASSERT_EQ(driver.format(plat::TffsFormatParams{}), plat::flOK);
    ASSERT_EQ(driver.mount(&volume), plat::flOK);
    ASSERT_EQ(volume->mkdir("files"), 0);
    volume.reset();
    run({{Op::Put, "files/image1", stktest::randomBytes(20000, 1)},
         {Op::Put, "files/log2.bin", stktest::randomBytes(16384, 2)},
         {Op::Put, "files/boot.dim", "image1 active"}});
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
        SCOPED_TRACE("cut at step " + std::to_string(cut));
        mtd.bytes() = before;
        mtd.install();
        done = start;
        mtd.cutPowerAfter(cut);
        EXPECT_TRUE(tb.run([&] { run(ops); }).has_value());
        volume.reset();
        mtd.install();  // the next power-on
        ASSERT_EQ(driver.mount(&volume), plat::flOK);
        for (const std::string& path : kPaths) {
            Contents now = read(path);
            EXPECT_TRUE(now == done[path] || now == pending[path]) << path;
        }
        volume.reset();
        EXPECT_EQ(stktest::exportedVolumeFindings(tb.dir() + "/export.img"), "");
        tb.con().takeOutput();
        ASSERT_EQ(driver.mount(&volume), plat::flOK);
        EXPECT_EQ(tb.con().takeOutput(), "");
        volume.reset();
    }
}

}  // namespace
