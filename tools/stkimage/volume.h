// stkimage volume DIR VERB: the flash volume of a board folder (a board
// started with --volume flash, or a ppce500 board's QEMU flash), reached
// through the same flash driver, translation layer and FAT file system as the
// boot program, on the board's own norflash.bin. The board folder is held
// meanwhile, so no stkboot runs on it (QEMU takes no such lock: stop the
// ppce500 board first).
#pragma once

#include <string>
#include <vector>

namespace stkimage {

// Runs one verb with its arguments; the exit status (0 done, 1 failed, 2 a
// wrong command line). Messages go to standard output and standard error.
int volumeCommand(const std::string& boardDir, const std::string& verb,
                  const std::vector<std::string>& args);

extern const char* const kVolumeVerbs;

}  // namespace stkimage
