#include "support/board_volume_files.h"

#include <cstdlib>
#include <filesystem>

#include "fs/flash_volume.h"
#include "support/test_board.h"

namespace stktest {

namespace fsys = std::filesystem;

std::string exportedVolumeFindings(const std::string& file) {
    std::vector<uint8_t> image;
    std::string out;
    if (fs::exportFlashImage(&image) != 0) return "cannot export the flash volume";
    writeHostFile(file, std::string(reinterpret_cast<const char*>(image.data()), image.size()));
    return runTool({"fsck.fat", "-n", file}, &out) == 0 ? "" : out;
}

BoardVolumeFiles::BoardVolumeFiles(std::string boardDir, bool flash)
    : board_(std::move(boardDir)), scratch_(makeTempDir("stkvolfiles-")), flash_(flash) {
    ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
}

std::string BoardVolumeFiles::snapshot() {
    if (!flash_) return board_ + "/DskVol";
    std::string chip = scratch_ + "/chip", tree = scratch_ + "/tree", out;
    for (const std::string& dir : {chip, tree}) removeTree(dir), fsys::create_directories(dir);
    for (const char* name : {"norflash.bin", "flashdisk"})
        fsys::copy_file(board_ + "/" + name, chip + "/" + name);
    if (runTool({stkimagePath(), "volume", chip, "export", chip + "/volume.img"}, &out) != 0 ||
        runTool({"mcopy", "-s", "-n", "-i", chip + "/volume.img", "::*", tree + "/"}, &out) != 0)
        ADD_FAILURE() << "cannot read the flash volume: " << out;
    return tree;
}

std::map<std::string, std::string> BoardVolumeFiles::files(const std::string& dir) {
    std::map<std::string, std::string> found;
    std::error_code ec;
    for (auto& e : fsys::directory_iterator(snapshot() + "/" + dir, ec))
        found[e.path().filename()] = readHostFile(e.path());
    return found;
}

bool BoardVolumeFiles::put(const std::string& path, const std::string& bytes) {
    std::string file = flash_ ? scratch_ + "/put" : board_ + "/DskVol/" + path, out;
    writeHostFile(file, bytes);
    bool ok = !flash_ || runTool({stkimagePath(), "volume", board_, "put", file, path}, &out) == 0;
    if (!ok) ADD_FAILURE() << out;
    return ok;
}

std::string BoardVolumeFiles::exportChecked(const std::string& file) {
    std::string out;
    if (runTool({stkimagePath(), "volume", board_, "export", file}, &out) != 0) return out;
    return runTool({"fsck.fat", "-n", file}, &out) == 0 ? "" : out;
}

}  // namespace stktest
