// The flash disk: the FAT volume "/DskVol/" of the board, kept on the host as
// the folder <board>/DskVol. Names beginning with "/DskVol/" map into it,
// relative names resolve against the boot task's working directory, and no
// name can reach outside the volume. A fault-injection layer sits in front of
// every change so that tests can fail a write, fill the disk, or cut the power
// at any step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "platform/tffs.h"
#include "platform/volume.h"

namespace plat {

struct DirEntry {
    char name[256];
};
struct Dir;

class FlashDisk {
  public:
    explicit FlashDisk(std::string boardDir);

    // Formatting state of the volume. The format mark lives in the first
    // erase unit of the flash chip, reached through the registered memory
    // technology driver, so erasing the start of the flash disk unformats it,
    // as on the board.
    bool formatted() const;
    // Erases the volume and writes the format mark; 0 or -1.
    // keepFiles: the volume folder is kept as it is (a disk prepared by hand).
    int format(void (*progress)(int percent), bool keepFiles = false);
    int mount();  // 0, or a non-zero code when the volume is not formatted
    bool mounted() const { return mounted_; }
    // A board reset: unmounted, working directory back at the volume root.
    void powerCycle() {
        mounted_ = false;
        cwd_ = "/DskVol";
    }

    // Maps a board name to a host path; false when the name leaves the volume
    // or names no volume.
    bool resolve(const char* name, std::string& hostPath) const;
    std::string cwd() const { return cwd_; }
    int chdir(const char* name);
    const std::string& hostRoot() const { return root_; }
    const std::string& boardDir() const { return dir_; }

    // An extra volume (RAM disk) of the given capacity under a device name
    // such as "/ram0", empty and formatted. Its files live in a private host
    // folder. -1 for a bad or an existing device name (never wiped).
    int addVolume(const char* device, uint64_t capacity);

    // Capacity of the flash disk volume in bytes.
    uint64_t capacity() const { return capacity_; }

    // Block size, block count and free blocks of the volume holding a host path.
    void volumeFigures(const std::string& hostPath, StatFs* st) const;
    // Bytes of a write of n bytes at the current offset of a file (host
    // descriptor) that the room left on its volume allows. Only the RAM disks
    // are kept to their size here; the flash disk has its own limit above.
    size_t roomFor(const std::string& hostPath, int hostFd, size_t n) const;

    // --- Fault injection -------------------------------------------------------
    // The n-th write() from now (1 = the next one) fails with EIO.
    void failWriteAt(long n) { failWriteAt_ = n; }
    // Free space for new data: writes beyond it are cut short (ENOSPC). -1 means
    // no limit beyond the volume's capacity.
    void setFreeBytes(int64_t bytes) { freeBudget_ = bytes; }
    // Cuts the power at the n-th changing operation from now (open for
    // writing, write, fsync, ftruncate, close of a written file, rename,
    // unlink, mkdir): the operation does not happen and BoardStop{PowerLoss}
    // is thrown.
    void powerLossAt(long n) { powerLossAt_ = n; }
    long changingOps() const { return changingOps_; }
    // Bytes read from the file of that board name come back with the bits of
    // `mask` flipped (a medium that returns other data than was written).
    void corruptReadsOf(const char* name, uint8_t mask) {
        std::string host;
        corruptPath_ = resolve(name, host) ? host : std::string();
        corruptMask_ = mask;
    }
    void clearFaults() {
        failWriteAt_ = 0;
        freeBudget_ = -1;
        powerLossAt_ = 0;
        corruptPath_.clear();
    }

    // Called by the file calls below.
    void beforeChange();          // counts, may throw PowerLoss
    bool injectWriteFailure();    // true: fail this write
    size_t allowWrite(size_t n);  // bytes the free space allows
    void afterRead(const std::string& hostPath, void* buf, long n) const;

    std::string volumeOf(const std::string& hostPath) const;

  private:
    std::string dir_;
    std::string root_;  // host folder of /DskVol
    std::string cwd_;   // board path, e.g. "/DskVol/files"
    bool mounted_ = false;
    uint64_t capacity_;
    struct Volume {
        std::string host;  // host folder
        uint64_t capacity;
    };
    const Volume* ramVolumeOf(const std::string& hostPath) const;
    std::map<std::string, Volume> volumes_;  // device -> RAM disk
    long failWriteAt_ = 0;
    int64_t freeBudget_ = -1;
    long powerLossAt_ = 0;
    long changingOps_ = 0;
    std::string corruptPath_;
    uint8_t corruptMask_ = 0;
};

// --- File calls of the boot routines (board names) ----------------------------
int open(const char* name, int flags, int mode = 0);
int creat(const char* name, int mode = 0);
long read(int fd, void* buf, size_t n);
long write(int fd, const void* buf, size_t n);
long lseek(int fd, long offset, int whence);
int close(int fd);
int fsync(int fd);
int ftruncate(int fd, long length);
int unlink(const char* name);
int remove(const char* name);
int rename(const char* from, const char* to);
int stat(const char* name, Stat* st);
int fstat(int fd, Stat* st);
int mkdir(const char* name);
int rmdir(const char* name);
int chdir(const char* name);
int cd(const char* name);  // shell routine: chdir, message on failure
char* getcwd(char* buf, size_t size);
void pwd();  // prints the working directory on the console
int statfs(const char* name, StatFs* st);
int fstatfs(int fd, StatFs* st);
Dir* opendir(const char* name);
DirEntry* readdir(Dir* dir);
int closedir(Dir* dir);
// Shell copy: 0 or -1.
int copy(const char* from, const char* to);
// Long (and optionally recursive) listing on the console.
int dirList(const char* name, bool longForm, bool recursive);
// Volume details on the console.
int dosFsShow(const char* volume, int level);

// The errno of the last failed file call.
int lastError();

}  // namespace plat
