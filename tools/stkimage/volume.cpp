#include "volume.h"

#include <cstdio>
#include <memory>

#include "bootflash/bootflash.h"
#include "fs/flash_volume.h"
#include "host_files.h"
#include "platform/host/address_map.h"
#include "platform/host/board.h"
#include "platform/platform.h"
#include "program/host/board_volume.h"
#include "program/host/host_run.h"
#include "sim/intel_flash.h"
#include "sim/nor_chip.h"

namespace stkimage {

const char* const kVolumeVerbs =
    "ls [PATH], get PATH FILE, put FILE PATH, rm PATH, export FILE, import FILE";

namespace {

constexpr int kDone = 0, kFailed = 1, kUsage = 2;

// Time of the tool's board: programs and erases cost no waiting.
class ToolClock : public plat::Clock {
  public:
    uint64_t nowUs() override { return now_; }
    void sleepUs(uint64_t us) override { now_ += us; }
    bool isVirtual() const override { return true; }
    std::time_t calendarSeconds() override { return std::time(nullptr); }

  private:
    uint64_t now_ = 0;
};

// What the file system says on the console (a disk check's repairs) goes to
// standard error; nothing is ever read.
class MessageConsole : public plat::ConsoleDevice {
  public:
    int waitReadable(int64_t) override { return 0; }
    long read(void*, size_t) override { return -1; }
    long write(const void* buf, size_t n) override { return long(std::fwrite(buf, 1, n, stderr)); }
    int options() const override { return 0; }
    int setOptions(int) override { return 0; }
    int setBaud(int) override { return 0; }
    int getBaud(int* bps) override {
        *bps = 9600;
        return 0;
    }
    int flush(bool, bool) override { return 0; }
};

// A path on the volume: relative to its root, or absolute under /DskVol.
std::string onVolume(const std::string& path) {
    if (path.rfind("/DskVol", 0) == 0) return path;
    return "/DskVol/" + (path.size() && path[0] == '/' ? path.substr(1) : path);
}

int fail(const std::string& why) {
    std::fprintf(stderr, "stkimage: %s\n", why.c_str());
    return kFailed;
}

// The board's flash chip: the host board's, or QEMU's flash of a ppce500
// board. Its time is the tool's own, so its bus cycles are made long: an erase
// then ends after a few hundred status reads instead of half a million.
void attachFlash(stkhost::VolumeKind kind, const std::string& file) {
    std::unique_ptr<sim::FlashModel> chip;
    if (kind == stkhost::VolumeKind::Ppce500Flash)
        chip = std::make_unique<sim::IntelFlash>(plat::board().clock(), file);
    else
        chip = std::make_unique<NorChip>(plat::board().clock(), file);
    chip->setBusCycleNs(1000000);
    plat::board().map().attachOwned(plat::kNorBase, plat::kNorSize, std::move(chip), "flash");
}

int list(const std::string& path) {
    plat::Dir* dir = plat::opendir(onVolume(path).c_str());
    if (!dir) return fail("no folder " + path + " on the volume");
    while (plat::DirEntry* e = plat::readdir(dir)) {
        plat::Stat st;
        std::string child = onVolume(path) + "/" + e->name;
        if (plat::stat(child.c_str(), &st) != 0) continue;
        if ((st.mode & plat::kModeTypeMask) == plat::kModeDir)
            std::printf("%12s  %s/\n", "", e->name);
        else
            std::printf("%12llu  %s\n", (unsigned long long)st.size, e->name);
    }
    plat::closedir(dir);
    return kDone;
}

int get(const std::string& path, const std::string& file) {
    int fd = plat::open(onVolume(path).c_str(), plat::kOpenRead);
    if (fd < 0) return fail("no file " + path + " on the volume");
    Bytes data;
    uint8_t buf[65536];
    long n;
    while ((n = plat::read(fd, buf, sizeof buf)) > 0) data.insert(data.end(), buf, buf + n);
    plat::close(fd);
    if (n < 0) return fail("cannot read " + path + " on the volume");
    writeOutput(file, data, {});
    std::printf("%s: %s of the volume, %zu bytes\n", file.c_str(), path.c_str(), data.size());
    return kDone;
}

int put(const std::string& file, const std::string& path) {
    Bytes data = readInput(file, "file");
    // Written aside, then renamed over the old file: a failure keeps it.
    std::string target = onVolume(path), aside = target + ".partial";
    int fd = plat::creat(aside.c_str());
    if (fd < 0) return fail("cannot create " + path + " on the volume");
    bool ok = plat::write(fd, data.data(), data.size()) == long(data.size());
    ok = plat::close(fd) == 0 && ok;
    ok = ok && plat::rename(aside.c_str(), target.c_str()) == 0;
    if (!ok) {
        plat::unlink(aside.c_str());
        return fail("cannot write " + path + " on the volume (" + std::to_string(data.size()) +
                    " bytes; is it full?)");
    }
    std::printf("%s: %zu bytes on the volume\n", path.c_str(), data.size());
    return kDone;
}

int exportVolume(const std::string& file) {
    std::vector<uint8_t> image;
    if (fs::exportFlashImage(&image) != 0) return fail("the board's flash holds no volume");
    writeOutput(file, image, {});
    std::printf("%s: the volume's %zu sectors (a FAT image)\n", file.c_str(), image.size() / 512);
    return kDone;
}

int importVolume(const std::string& file) {
    Bytes image = readInput(file, "FAT image");
    uint64_t size = uint64_t(fs::flashSectorCount()) * 512;
    if (image.size() != size)
        return fail("a FAT image of " + std::to_string(size) + " bytes fits this board's volume; " +
                    file + " has " + std::to_string(image.size()));
    if (fs::importFlashImage(image) != 0) return fail(file + " holds no FAT volume");
    std::printf("%s: now the board's volume\n", file.c_str());
    return kDone;
}

}  // namespace

int volumeCommand(const std::string& dir, const std::string& verb,
                  const std::vector<std::string>& args) {
    size_t want = verb == "ls"                                           ? args.size()
                  : verb == "rm" || verb == "export" || verb == "import" ? 1
                  : verb == "get" || verb == "put"                       ? 2
                                                                         : 99;
    if (want == 99 || args.size() != want || (verb == "ls" && args.size() > 1)) {
        std::fprintf(stderr, "stkimage: volume takes one of: %s\n", kVolumeVerbs);
        return kUsage;
    }
    stkhost::VolumeKind kind;
    std::string reason;
    if (!stkhost::boardVolumeKind(dir, "", &kind, &reason)) return fail(reason);
    if (kind == stkhost::VolumeKind::Folder)
        return fail("board folder " + dir +
                    " has no flash volume: its flash disk is a folder (stkboot --volume flash "
                    "makes a board with one)");
    if (!stkhost::lockBoardFolder(dir, &reason)) return fail(reason);

    plat::installBoard(std::make_unique<plat::Board>(std::make_unique<MessageConsole>(),
                                                     std::make_unique<ToolClock>(), dir));
    attachFlash(kind, dir + "/norflash.bin");
    Flash_Init();
    plat::board().useFlashDiskDriver(fs::makeFlashVolumeDriver());
    int rc;
    if (verb == "export") {
        rc = exportVolume(args[0]);
    } else if (verb == "import") {
        rc = importVolume(args[0]);
    } else if (plat::usrTffsConfig(0, 0, "/DskVol/") != 0) {
        rc = fail(
            "the board's flash holds no volume (the boot program formats it at its next start)");
    } else if (verb == "ls") {
        rc = list(args.empty() ? "" : args[0]);
    } else if (verb == "get") {
        rc = get(args[0], args[1]);
    } else if (verb == "put") {
        rc = put(args[0], args[1]);
    } else {
        rc = plat::unlink(onVolume(args[0]).c_str()) == 0
                 ? kDone
                 : fail("no file " + args[0] + " on the volume");
    }
    plat::uninstallBoard();
    return rc;
}

}  // namespace stkimage
