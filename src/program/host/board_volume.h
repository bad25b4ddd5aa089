// Which flash disk a board folder keeps: the folder volume (DIR/DskVol, the
// default) or the FAT volume on the flash translation layer inside the flash
// chip (DIR/norflash.bin), as on the board. A board is one or the other,
// fixed at its first start and written down in DIR/flashdisk ("folder" or
// "flash"); a board folder from before that file existed keeps a folder.
#pragma once

#include <string>

namespace stkhost {

enum class VolumeKind { Folder, Flash };

const char* volumeKindName(VolumeKind kind);

// The kind for this start of the board in `dir`: its own when it has one,
// else `requested` ("" means the folder). false: `requested` names another
// kind than the board's own, or no kind; *reason says so in one line.
bool boardVolumeKind(const std::string& dir, const std::string& requested, VolumeKind* kind,
                     std::string* reason);
// Writes the board's kind down at its first start; false on failure.
bool recordVolumeKind(const std::string& dir, VolumeKind kind);
// Mounts the flash disk of that kind on the installed board from now on.
void useVolumeKind(VolumeKind kind);

}  // namespace stkhost
