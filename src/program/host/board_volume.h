// Which flash disk a board folder keeps: the folder volume (DIR/DskVol, the
// default) or the FAT volume on the flash translation layer inside the flash
// chip (DIR/norflash.bin), as on the board. A board is one or the other,
// fixed at its first start and written down in DIR/flashdisk ("folder" or
// "flash"); a board folder from before that file existed keeps a folder.
// scripts/run-ppce500.sh writes "flash-ppce500" there for a board folder of
// QEMU's ppce500 machine, whose norflash.bin is QEMU's flash (Intel command
// set): its volume is the same FAT volume on the translation layer, which
// stkimage reaches, but stkboot does not run such a board.
#pragma once

#include <string>

namespace stkhost {

enum class VolumeKind { Folder, Flash, Ppce500Flash };

const char* volumeKindName(VolumeKind kind);

// The kind for this start of the board in `dir`: its own when it has one,
// else `requested` ("" means the folder). false: `requested` names another
// kind than the board's own, or no kind; *reason says so in one line. A
// ppce500 board's kind is given whatever was requested.
bool boardVolumeKind(const std::string& dir, const std::string& requested, VolumeKind* kind,
                     std::string* reason);
// Writes the board's kind down at its first start; false on failure.
bool recordVolumeKind(const std::string& dir, VolumeKind kind);
// Mounts the flash disk of that kind on the installed board from now on.
void useVolumeKind(VolumeKind kind);

}  // namespace stkhost
