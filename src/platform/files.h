// The file calls of the boot routines. A board name is resolved against the
// boot task's working directory to a mounted volume ("/DskVol/", a RAM disk
// such as "/ram0/") and a path inside it; no name reaches outside a volume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/volume.h"

namespace plat {

struct DirEntry {
    char name[256];
};
struct Dir;

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

// Whether both names reach the same file of the same volume.
bool sameFile(const char* a, const char* b);

// --- Volumes ----------------------------------------------------------------------
// Mounts a volume under a device name ("/DskVol", "/ram0"; one level, no
// trailing slash needed). false: the name is malformed or already mounted.
bool mountVolume(const char* device, std::unique_ptr<Volume> volume);
// Unmounts it; its open descriptors are closed first.
void unmountVolume(const char* device);
// A board reset: every volume is gone (the RAM disks with their contents),
// every descriptor closed, the working directory is the volume root again.
void unmountAllVolumes();
// The volume mounted under that device name, or nullptr.
Volume* mountedVolume(const char* device);
// The volume and the path inside it that a board name reaches; false when it
// reaches none.
bool resolve(const char* name, Volume** volume, std::string* path);

}  // namespace plat
