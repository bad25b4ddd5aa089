// FAT volumes against dosfstools and mtools: what this file system writes,
// fsck.fat finds clean and mtools reads back name for name and byte for
// byte. What mkfs.fat and mcopy make goes in through `stkimage volume import`
// in interop_flash_board_test.cpp.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "fs/fat_volume.h"
#include "fs/flash_volume.h"
#include "support/pty_harness.h"
#include "support/ram_mtd.h"
#include "support/test_board.h"

namespace {

using Files = std::map<std::string, std::string>;  // path -> contents ("" path/: directory)

class DosTools : public ::testing::Test {
  protected:
    DosTools() : dir(stktest::makeTempDir("stkfat-")), img(dir + "/volume.img") {
        ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    }
    ~DosTools() override { stktest::removeTree(dir); }

    static void fill(plat::Volume& v, const Files& files) {
        for (const auto& [path, bytes] : files) {
            if (path.back() == '/') {
                ASSERT_EQ(v.mkdir(path.substr(0, path.size() - 1)), 0) << path;
                continue;
            }
            int h = v.open(path, plat::kOpenReadWrite | plat::kOpenCreate | plat::kOpenTrunc);
            ASSERT_GE(h, 0) << path;
            ASSERT_EQ(v.write(h, bytes.data(), bytes.size()), long(bytes.size()));
            ASSERT_EQ(v.close(h), 0);
        }
    }
    // fsck.fat finds nothing to mend, mdir lists exactly the files, and
    // mcopy gives back their bytes.
    void expectDosToolsRead(const std::vector<uint8_t>& image, const Files& files) {
        stktest::writeHostFile(
            img, std::string(reinterpret_cast<const char*>(image.data()), image.size()));
        std::string out;
        EXPECT_EQ(stktest::runTool({"fsck.fat", "-n", img}, &out), 0) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;  // name and summary
        std::string listed, line;
        ASSERT_EQ(stktest::runTool({"mdir", "-i", img, "-/", "-b", "::"}, &listed), 0) << listed;
        std::multiset<std::string> lines, expected;
        for (std::istringstream in(listed); std::getline(in, line);) lines.insert(line);
        for (const auto& f : files) expected.insert("::/" + f.first);
        EXPECT_EQ(lines, expected);
        for (const auto& [path, bytes] : files) {
            if (path.back() == '/') continue;
            std::string copied;
            EXPECT_EQ(stktest::runTool({"mcopy", "-i", img, "::" + path, "-"}, &copied), 0);
            EXPECT_EQ(copied, bytes) << path;
        }
    }

    stktest::TestBoard tb{false};
    std::string dir, img;
};

const Files kFiles = {
    {"IMAGE1", stktest::randomBytes(70000, 1)},
    {"files/", ""},
    {"files/asciilog.bin", "log"},
    {"files/boot.dim", "list"},
    {"files/diag_image.stk", stktest::randomBytes(5000, 2)},
    {"files/empty", ""},
    {"files/sdm_template.cfg", "template"},
    {"files/sub/", ""},
    {"files/sub/A Long Name With Spaces.text", "spaces"},
};

// The flash volume (FAT16 on the translation layer) and a RAM disk (FAT12)
// on the same code: replaced, renamed and deleted files leave nothing behind.
TEST_F(DosTools, ReadWhatTheFlashVolumeAndTheRamDiskWrote) {
    Files expected = kFiles;
    expected["files/boot.dim"] = "new image";
    auto churn = [](plat::Volume& v) {
        fill(v, kFiles);
        fill(v, {{"files/xcode.bin", "new image"}, {"files/gone", "x"}});
        ASSERT_EQ(v.rename("files/xcode.bin", "files/boot.dim"), 0);
        ASSERT_EQ(v.unlink("files/gone"), 0);
    };
    RamMtd mtd(128 << 10, 240);  // the board's flash disk: 240 units of 128 KiB
    mtd.install();
    fs::FlashVolumeDriver driver;
    ASSERT_EQ(driver.format(plat::TffsFormatParams{}), plat::flOK);
    std::unique_ptr<plat::Volume> v;
    ASSERT_EQ(driver.mount(&v), plat::flOK);
    churn(*v);
    v.reset();
    std::vector<uint8_t> image;
    ASSERT_EQ(fs::exportFlashImage(&image), 0);
    expectDosToolsRead(image, expected);

    auto disk = std::make_unique<fs::RamDisk>(1024);  // 512 KiB: FAT12
    fs::RamDisk* raw = disk.get();
    ASSERT_EQ(fs::makeFatVolume(*disk, 2, 9), 0);
    std::unique_ptr<fs::FatVolume> ram;
    ASSERT_EQ(fs::FatVolume::mount(std::move(disk), "ram0", &ram), 0);
    churn(*ram);
    ASSERT_EQ(ram->syncAll(), 0);
    EXPECT_EQ(ram->geometry().type, fs::FatType::Fat12);
    expectDosToolsRead(std::vector<uint8_t>(raw->data(), raw->data() + raw->size()), expected);
}

}  // namespace
