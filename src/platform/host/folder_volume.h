// The flash disk on the host as a folder: the volume "/DskVol/" is the
// folder <board>/DskVol, and its format mark sits in the flash chip's first
// erase unit (reached through the registered memory technology driver), so
// erasing the start of the flash disk unformats it, as on the board. A
// fault-injection layer sits in front of every change so that tests can fail
// a write, fill the disk, or cut the power at any step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/tffs.h"
#include "platform/volume.h"

namespace plat {

class FolderDisk : public FlashDiskDriver {
  public:
    explicit FolderDisk(std::string boardDir);

    int mount(std::unique_ptr<Volume>* volume) override;
    int format(const TffsFormatParams& params) override;
    // Writes the format mark and keeps the folder's files (a disk prepared by hand).
    int adoptFiles();
    // Whether the chip carries the format mark and the folder exists.
    bool formatted() const;

    const std::string& boardDir() const { return dir_; }
    const std::string& hostRoot() const { return root_; }
    // Host path of a board name on the folder flash disk (tests, the host
    // program); false when the name reaches no folder volume.
    bool hostPath(const char* name, std::string* host) const;

    // --- Fault injection -------------------------------------------------------
    // The n-th write() from now (1 = the next one) fails with EIO.
    void failWriteAt(long n) { failWriteAt_ = n; }
    // Free space for new data: writes beyond it are cut short (ENOSPC). -1 means
    // no limit beyond the volume's capacity.
    void setFreeBytes(int64_t bytes) { freeBudget_ = bytes; }
    // Cuts the power at the n-th changing operation from now (open for
    // writing, write, fsync, ftruncate, close of a written file, rename,
    // unlink, mkdir, rmdir): the operation does not happen and
    // BoardStop{PowerLoss} is thrown.
    void powerLossAt(long n) { powerLossAt_ = n; }
    long changingOps() const { return changingOps_; }
    // Bytes read from the file of that board name come back with the bits of
    // `mask` flipped (a medium that returns other data than was written).
    void corruptReadsOf(const char* name, uint8_t mask);
    void clearFaults();

    // Called by the folder volumes.
    void beforeChange();          // counts, may throw PowerLoss
    bool injectWriteFailure();    // true: fail this write
    size_t allowWrite(size_t n);  // bytes the free space allows
    void afterRead(const std::string& hostPath, void* buf, long n) const;

  private:
    int writeMark(void (*progress)(int), bool keepFiles);
    std::string dir_;
    std::string root_;  // host folder of /DskVol
    long failWriteAt_ = 0;
    int64_t freeBudget_ = -1;
    long powerLossAt_ = 0;
    long changingOps_ = 0;
    std::string corruptPath_;
    uint8_t corruptMask_ = 0;
};

}  // namespace plat
