// The FAT volume on a RAM disk: the file calls' semantics, names, a full
// volume, and the disk checker's repairs of damaged volumes.
#include <cstring>
#include <functional>

#include "fs/bytes.h"
#include "fs/fat_volume.h"
#include "fs/flash_volume.h"
#include "support/test_board.h"

namespace {

using plat::kOpenCreate, plat::kOpenRead, plat::kOpenReadWrite, plat::kOpenTrunc, plat::kOpenWrite;
constexpr int kCreat = kOpenReadWrite | kOpenCreate | kOpenTrunc;

std::vector<uint8_t> bytesOf(fs::BlockDevice& dev) {
    auto& disk = static_cast<fs::RamDisk&>(dev);
    return std::vector<uint8_t>(disk.data(), disk.data() + disk.size());
}

class FatTest : public ::testing::Test {
  protected:
    FatTest() { format(8192); }
    void format(uint32_t sectors) {
        vol.reset();
        fs::RamDisk disk(sectors);
        EXPECT_EQ(fs::makeFatVolume(disk, 2, 7), 0);
        image = bytesOf(disk);
        remount();
    }
    // Mounts the RAM disk's bytes again, changed on the way by `change`;
    // what the checker printed.
    std::string remount(const std::function<void()>& change = [] {}) {
        if (vol) {
            EXPECT_EQ(vol->syncAll(), 0);
            image = bytesOf(vol->device());
        }
        change();
        vol.reset();
        auto disk = std::make_unique<fs::RamDisk>(uint32_t(image.size() / fs::kSectorSize));
        std::memcpy(disk->data(), image.data(), image.size());
        tb.con().takeOutput();
        EXPECT_EQ(fs::FatVolume::mount(std::move(disk), "ram0", &vol), 0);
        return tb.con().takeOutput();
    }
    void put(const std::string& path, const std::string& bytes) {
        int h = vol->open(path, kCreat);
        ASSERT_GE(h, 0) << path;
        ASSERT_EQ(vol->write(h, bytes.data(), bytes.size()), long(bytes.size()));
        ASSERT_EQ(vol->close(h), 0);
    }
    std::string get(const std::string& path) {
        int h = vol->open(path, kOpenRead);
        plat::Stat st;
        if (h < 0 || vol->fstat(h, &st) != 0) return "<" + std::to_string(h) + ">";
        std::string out(st.size, '\0');
        long n = vol->read(h, out.data(), out.size());
        vol->close(h);
        return out.substr(0, size_t(std::max(0L, n)));
    }
    std::vector<std::string> names(const std::string& dir) {
        std::vector<std::string> out;
        EXPECT_EQ(vol->list(dir, &out), 0);
        return out;
    }
    // The short entry of `name` in the root directory on the disk image.
    uint8_t* rootEntry(const char* shortName) {
        const fs::FatGeometry& g = vol->geometry();
        for (uint32_t i = 0; i < g.rootEntries; ++i) {
            uint8_t* e = &image[(g.firstRootSector * fs::kSectorSize) + i * 32];
            if (std::memcmp(e, shortName, 11) == 0) return e;
        }
        return nullptr;
    }
    void setFat(uint32_t copy, uint32_t c, uint32_t v) {
        const fs::FatGeometry& g = vol->geometry();
        fs::putLe16(&image[(g.reservedSectors + copy * g.fatSectors) * 512 + 2 * c], v);
    }

    stktest::TestBoard tb{false};
    std::vector<uint8_t> image;
    std::unique_ptr<fs::FatVolume> vol;
};

TEST_F(FatTest, OpenFlagsAndAccessModes) {
    static const std::string tooLong(256, 'n');
    struct Case {
        const char* path;
        int flags, result;
    } cases[] = {
        {"missing", kOpenRead, -ENOENT},       {"missing", kOpenReadWrite, -ENOENT},
        {"new1", kOpenWrite | kOpenCreate, 0}, {"new2", kOpenReadWrite | kOpenCreate, 0},
        {"none/new", kCreat, -ENOENT},         {"new1/x", kCreat, -ENOTDIR},
        {"", kOpenReadWrite, -EISDIR},         {"", kOpenRead, 0},
        {"bad:name", kCreat, -EINVAL},         {tooLong.c_str(), kCreat, -ENAMETOOLONG},
    };
    for (const Case& c : cases) {
        int h = vol->open(c.path, c.flags);
        EXPECT_EQ(h < 0 ? h : 0, c.result) << c.path;
        if (h >= 0) vol->close(h);
    }
    int w = vol->open("new1", kOpenWrite), r = vol->open("new1", kOpenRead);
    char byte = 'x';
    EXPECT_EQ(vol->read(w, &byte, 1), -EBADF);
    EXPECT_EQ(vol->write(r, &byte, 1), -EBADF);
    EXPECT_EQ(vol->truncate(r, 0), -EBADF);
    EXPECT_EQ(vol->close(99), -EBADF);
}

TEST_F(FatTest, ReadWriteSeekAndTruncateBothWays) {
    put("f", "hello world");
    int h = vol->open("f", kOpenReadWrite);
    EXPECT_EQ(vol->seek(h, 6, 0), 6);
    EXPECT_EQ(vol->write(h, "FAT", 3), 3);
    EXPECT_EQ(vol->seek(h, -1, 2), 10);
    EXPECT_EQ(vol->seek(h, -20, 1), -EINVAL);
    EXPECT_EQ(vol->truncate(h, 5000), 0);
    EXPECT_EQ(vol->seek(h, 6000, 0), 6000);
    EXPECT_EQ(vol->write(h, "!", 1), 1);
    EXPECT_EQ(vol->close(h), 0);
    std::string expected = "hello FATld" + std::string(5989, '\0') + "!";
    EXPECT_EQ(get("f"), expected);
    h = vol->open("f", kOpenReadWrite);
    EXPECT_EQ(vol->truncate(h, 3), 0);
    EXPECT_EQ(vol->close(h), 0);
    remount();
    EXPECT_EQ(get("f"), "hel");
    put("f", "new");  // creat truncates
    EXPECT_EQ(get("f"), "new");
}

// Their spelling on the disk is read back by mtools in interop_fat_test.cpp.
TEST_F(FatTest, LongNamesAreFoundInAnyCaseAndByTheirShortAlias) {
    put("diag_image.stk", "diag");
    remount();
    EXPECT_EQ(get("DIAG_IMAGE.STK"), "diag");
    EXPECT_EQ(get("DIAG_I~1.STK"), "diag");
}

TEST_F(FatTest, DirectoriesAndRenames) {
    EXPECT_EQ(vol->mkdir("files"), 0);
    EXPECT_EQ(vol->mkdir("files"), -EEXIST);
    EXPECT_EQ(vol->mkdir("files/sub"), 0);
    put("files/image1", "old image");
    put("files/xcode.bin", "new image");
    EXPECT_EQ(names("files"), (std::vector<std::string>{".", "..", "sub", "image1", "xcode.bin"}));
    EXPECT_EQ(vol->rename("files/xcode.bin", "files/image1"), 0);
    EXPECT_EQ(get("files/image1"), "new image");
    EXPECT_EQ(vol->rename("files/image1", "files/sub"), -EISDIR);
    EXPECT_EQ(vol->rename("files", "files/sub/inner"), -EINVAL);
    EXPECT_EQ(vol->rename("files/sub", "sub2"), 0);
    EXPECT_EQ(vol->rmdir("files"), -ENOTEMPTY);
    EXPECT_EQ(vol->unlink("files/image1"), 0);
    EXPECT_EQ(vol->rmdir("files"), 0);
    EXPECT_EQ(vol->unlink("sub2"), -EISDIR);
    EXPECT_EQ(names(""), std::vector<std::string>{"sub2"});
    EXPECT_EQ(remount(), "");
    plat::Stat st;
    ASSERT_EQ(vol->stat("sub2", &st), 0);
    EXPECT_EQ(st.mode, plat::kModeDir | 0777);
}

TEST_F(FatTest, StatTimesSerialsAndReadOnlyFiles) {
    plat::clock_settime(1268058600, 0);  // 8 March 2010, 14:30:00
    put("conf.cfg", "abc");
    plat::Stat st, fst;
    ASSERT_EQ(vol->stat("conf.cfg", &st), 0);
    EXPECT_EQ(st.mode, plat::kModeRegular | 0777);
    EXPECT_EQ(st.size, 3u);
    EXPECT_EQ(st.mtime, 1268058600);
    int h = vol->open("conf.cfg", kOpenRead);
    ASSERT_EQ(vol->fstat(h, &fst), 0);
    EXPECT_EQ(fst.serial, st.serial);
    vol->close(h);
    remount([&] { rootEntry("CONF    CFG")[11] |= fs::kAttrReadOnly; });
    ASSERT_EQ(vol->stat("conf.cfg", &st), 0);
    EXPECT_EQ(st.mode, plat::kModeRegular | 0555);
    EXPECT_EQ(vol->open("conf.cfg", kOpenReadWrite), -EACCES);
    EXPECT_EQ(vol->unlink("conf.cfg"), -EACCES);
}

TEST_F(FatTest, FullVolumeWritesWhatFitsAndLosesNothing) {
    put("keep", "kept");
    plat::StatFs before;
    vol->statfs(&before);
    std::string big(size_t(before.bfree) * size_t(before.bsize) + 4096, 'x');
    int h = vol->open("big", kCreat);
    EXPECT_EQ(vol->write(h, big.data(), big.size()), long(big.size() - 4096));
    EXPECT_EQ(vol->write(h, "y", 1), -ENOSPC);
    EXPECT_EQ(vol->close(h), 0);
    plat::StatFs full;
    vol->statfs(&full);
    EXPECT_EQ(full.bfree, 0);
    EXPECT_EQ(vol->mkdir("d"), -ENOSPC);
    EXPECT_EQ(remount(), "");
    EXPECT_EQ(get("keep"), "kept");
    EXPECT_EQ(get("big").size(), big.size() - 4096);
    EXPECT_EQ(vol->unlink("big"), 0);
    vol->statfs(&full);
    EXPECT_EQ(full.bfree, before.bfree);
}

TEST_F(FatTest, ShowPrintsTheVolumeFigures) {
    format(2048);  // 1 MiB: FAT12
    put("a", std::string(3000, 'a'));
    vol->show("/ram0/", 1);
    EXPECT_TRUE(stktest::matchesGolden(tb.con().takeOutput(), "fs/fs_texts.txt", "Show FAT12"));
    std::unique_ptr<plat::Volume> tiny;
    EXPECT_EQ(fs::createRamVolume(1024, "ram1", &tiny), -EINVAL);
}

// Damage done to the image, and the repair the checker reports for it.
TEST_F(FatTest, CheckerRepairsDamageAndKeepsCommittedFiles) {
    struct Case {
        const char* damage;
        const char* report;
    } cases[] = {
        {"lost", "ram0: disk check: 1 lost chain freed\n"},
        {"long size", "ram0: disk check: 1 file size corrected\n"},
        {"copy 2", "ram0: disk check: FAT copy 2 rewritten\n"},
        {"copy 1 broken", "ram0: disk check: FAT copy 1 rewritten\n"},
        {"orphan", "ram0: disk check: 1 lost chain freed, 1 orphan long name removed\n"},
        {"rename", "ram0: disk check: 1 lost chain freed, 1 interrupted rename completed\n"},
        {"dot dot", "ram0: disk check: 1 directory link corrected\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.damage);
        format(8192);
        put("keep.txt", std::string(5000, 'k'));
        put("long name.txt", "x");
        ASSERT_EQ(vol->mkdir("dir"), 0);
        std::string d = c.damage;
        EXPECT_EQ(remount([&] {
                      uint8_t* keep = rootEntry("KEEP    TXT");
                      uint32_t first = fs::getLe16(keep + 26);
                      if (d == "lost") setFat(0, 300, 0xFFFF), setFat(1, 300, 0xFFFF);
                      if (d == "long size") fs::putLe32(keep + 28, 9000);
                      if (d == "copy 2") setFat(1, 400, 0xFFFF);
                      if (d == "copy 1 broken") setFat(0, first, 0);
                      if (d == "orphan") rootEntry("LONGNA~1TXT")[0] = fs::kEntryFree;
                      if (d == "rename") {
                          std::memcpy(rootEntry("LONGNA~1TXT") + 20, keep + 20, 12);
                          keep[13] = fs::kRenameSource;
                      }
                      if (d == "dot dot") {
                          uint32_t dir = fs::getLe16(rootEntry("DIR        ") + 26);
                          fs::putLe16(&image[vol->geometry().clusterSector(dir) * 512 + 32 + 26],
                                      5);
                      }
                  }),
                  c.report);
        EXPECT_EQ(remount(), "");
        // A size beyond the chain is cut back to the clusters the file has.
        std::string kept = get(d == "rename" ? "long name.txt" : "keep.txt");
        EXPECT_EQ(kept.substr(0, 5000), std::string(5000, 'k'));
    }
}

}  // namespace
