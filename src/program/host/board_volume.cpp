#include "program/host/board_volume.h"

#include <fstream>
#include <sstream>

#include "fs/flash_volume.h"
#include "platform/host/board.h"

namespace stkhost {

namespace {
constexpr const char* kRecordName = "/flashdisk";
}  // namespace

const char* volumeKindName(VolumeKind kind) {
    return kind == VolumeKind::Flash          ? "flash"
           : kind == VolumeKind::Ppce500Flash ? "flash-ppce500"
                                              : "folder";
}

bool boardVolumeKind(const std::string& dir, const std::string& requested, VolumeKind* kind,
                     std::string* reason) {
    if (!requested.empty() && requested != "folder" && requested != "flash") {
        *reason = "--volume takes folder or flash, not " + requested;
        return false;
    }
    std::ifstream in(dir + kRecordName);
    std::string own;
    if (in) {
        std::getline(in, own);
        if (own != "folder" && own != "flash" && own != "flash-ppce500") {
            *reason = "board folder " + dir + " names no kind of flash disk in " + dir +
                      kRecordName + " (\"folder\", \"flash\" or \"flash-ppce500\")";
            return false;
        }
    } else {
        std::ifstream chip(dir + "/norflash.bin");
        // A board from before the record keeps its folder volume.
        own = chip ? "folder" : requested;
    }
    // A ppce500 board is not the host's to run, whatever is asked of it.
    if (!requested.empty() && !own.empty() && requested != own && own != "flash-ppce500") {
        *reason = "board folder " + dir + " keeps its flash disk as a " + own +
                  " volume; --volume " + requested + " does not fit it";
        return false;
    }
    *kind = own == "flash"           ? VolumeKind::Flash
            : own == "flash-ppce500" ? VolumeKind::Ppce500Flash
                                     : VolumeKind::Folder;
    return true;
}

bool recordVolumeKind(const std::string& dir, VolumeKind kind) {
    std::ifstream existing(dir + kRecordName);
    if (existing) return true;
    std::ofstream out(dir + kRecordName);
    out << volumeKindName(kind) << "\n";
    return bool(out);
}

void useVolumeKind(VolumeKind kind) {
    if (kind == VolumeKind::Flash) plat::board().useFlashDiskDriver(fs::makeFlashVolumeDriver());
}

}  // namespace stkhost
