// The files on a board folder's flash disk, whichever kind it keeps: a
// folder volume's directly, a flash volume's through `stkimage volume` and
// the DOS tools (an export read by mcopy), so that what the boot program
// wrote is read back by programs of its own.
#pragma once

#include <map>
#include <string>

#include "support/pty_harness.h"

namespace stktest {

// The flash volume of the board running in this process (its volumes
// unmounted), written to `file` and checked by fsck.fat -n: "" when clean,
// else what went wrong.
std::string exportedVolumeFindings(const std::string& file);

class BoardVolumeFiles {
  public:
    // flash: the board keeps a flash volume (stkboot --volume flash).
    BoardVolumeFiles(std::string boardDir, bool flash);
    ~BoardVolumeFiles() { removeTree(scratch_); }
    // A host folder holding the volume's tree as it is now ("files/image1"
    // under it). A flash volume is read from a copy of the chip, so a
    // stkboot idle at a prompt may keep running.
    std::string snapshot();
    // The files of the volume's folder `dir`, by name, with their contents.
    std::map<std::string, std::string> files(const std::string& dir);
    // Stores bytes as the volume's file `path`; no stkboot may run on the board.
    bool put(const std::string& path, const std::string& bytes);
    // stkimage volume BOARD export FILE, and fsck.fat -n on it: "" when
    // clean, else what went wrong.
    std::string exportChecked(const std::string& file);

  private:
    std::string board_, scratch_;
    bool flash_;
};

}  // namespace stktest
