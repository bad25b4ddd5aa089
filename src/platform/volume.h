// A mounted file system as the file calls see it. The file calls (open,
// read, stat, ...) resolve a board name to a volume and a path inside it and
// hand the rest to the volume: the flash disk "/DskVol/" and the RAM disks are
// volumes, whatever keeps their bytes (a host folder, a FAT file system on
// the flash translation layer, a FAT file system in RAM).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace plat {

// open() flags.
constexpr int kOpenRead = 0;
constexpr int kOpenWrite = 1;
constexpr int kOpenReadWrite = 2;
constexpr int kOpenCreate = 0x200;
constexpr int kOpenTrunc = 0x400;

// Mode bits of Stat: the type, then the owner/group/other permissions.
constexpr uint32_t kModeTypeMask = 0xF000;
constexpr uint32_t kModeDir = 0x4000;
constexpr uint32_t kModeRegular = 0x8000;

struct Stat {
    uint32_t mode = 0;  // type bits and permission bits
    uint64_t size = 0;
    std::time_t mtime = 0;
    uint32_t serial = 0;  // file serial number: the same file gives the same one
};

struct StatFs {
    long bsize = 0;   // bytes per block (cluster)
    long blocks = 0;  // blocks for files
    long bfree = 0;   // blocks still free
};

// Paths inside a volume are relative to its root: components joined by "/",
// never empty, "." or ".." ("" is the root itself). Every call returns a
// value >= 0 on success or a negated errno value (-ENOENT, -EEXIST, -ENOTDIR,
// -EISDIR, -ENOTEMPTY, -ENOSPC, -EIO, -EBADF, -EINVAL, -ENAMETOOLONG, ...).
class Volume {
  public:
    virtual ~Volume() = default;

    // Opens a file with the open() flags; a handle of this volume (>= 0).
    // Opening a directory is allowed read-only (for fstat); writing to one is
    // -EISDIR.
    virtual int open(const std::string& path, int flags) = 0;
    virtual long read(int handle, void* buf, size_t n) = 0;
    // A write the volume has room for only in part writes that part and
    // returns its length; no room at all is -ENOSPC.
    virtual long write(int handle, const void* buf, size_t n) = 0;
    // whence: 0 from the start, 1 from the current offset, 2 from the end.
    virtual long seek(int handle, long offset, int whence) = 0;
    virtual int truncate(int handle, uint64_t length) = 0;
    // Everything written through the handle is on the medium when it returns.
    virtual int sync(int handle) = 0;
    virtual int close(int handle) = 0;
    virtual int fstat(int handle, Stat* st) = 0;

    virtual int stat(const std::string& path, Stat* st) = 0;
    virtual int unlink(const std::string& path) = 0;  // a file
    virtual int mkdir(const std::string& path) = 0;
    virtual int rmdir(const std::string& path) = 0;  // an empty directory
    // Renames a file or directory; an existing file `to` is replaced (the
    // new entry is in place before the old one is freed).
    virtual int rename(const std::string& from, const std::string& to) = 0;
    virtual int statfs(StatFs* st) = 0;
    // The names in a directory in the volume's own order, "." and ".." where
    // the directory has them.
    virtual int list(const std::string& path, std::vector<std::string>* names) = 0;
    // Volume details on the console for dosFsShow (level 1 and up).
    virtual void show(const char* name, int level) = 0;
};

}  // namespace plat
