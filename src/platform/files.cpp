// Board names to volumes, descriptors, and the file calls over them.
#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "platform/services.h"

namespace plat {

namespace {

struct Descriptor {
    Volume* volume = nullptr;  // null: a free slot
    int handle = -1;
};

// Descriptors of files start above the console's (0-2 and the console
// device's own), so that no file is ever taken for the console.
constexpr int kFirstFileFd = 16;

struct FileState {
    std::map<std::string, std::unique_ptr<Volume>> volumes;  // device name -> volume
    std::vector<Descriptor> fds;
    std::string cwd = "/DskVol";
    int lastErrno = 0;
};

FileState& state() {
    static FileState s;
    return s;
}

// The boot routines' records start afresh without a descriptor.
STK_RESET_HOOK {
    FileState& s = state();
    for (auto& d : s.fds)
        if (d.volume) d.volume->close(d.handle);
    s.fds.clear();
    s.lastErrno = 0;
}

int fail(int e) {
    state().lastErrno = e;
    return -1;
}

// A volume's negated errno result becomes -1 with the error noted.
long check(long rc) {
    return rc < 0 ? fail(int(-rc)) : rc;
}

Descriptor* descriptor(int fd) {
    auto& fds = state().fds;
    if (fd < kFirstFileFd || size_t(fd - kFirstFileFd) >= fds.size()) return nullptr;
    Descriptor* d = &fds[size_t(fd - kFirstFileFd)];
    return d->volume ? d : nullptr;
}

std::string deviceName(const char* device) {
    std::string dev = device ? device : "";
    while (dev.size() > 1 && dev.back() == '/') dev.pop_back();
    if (dev.size() < 2 || dev[0] != '/' || dev.find('/', 1) != std::string::npos) return "";
    return dev.substr(1);
}

// Splits a board name into its device and the path inside it.
bool split(const char* name, std::string* device, std::string* path) {
    if (!name || !*name) return false;
    std::string full = name[0] == '/' ? std::string(name) : state().cwd + "/" + name;
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string part = full.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            // Never above the device itself.
            if (parts.size() > 1) parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }
    if (parts.empty()) return false;
    *device = parts[0];
    path->clear();
    for (size_t k = 1; k < parts.size(); ++k) *path += (k > 1 ? "/" : "") + parts[k];
    return true;
}

// Resolves a name for a call: the volume and path, or -1 with ENOENT noted.
bool reach(const char* name, Volume** vol, std::string* path) {
    if (resolve(name, vol, path)) return true;
    fail(ENOENT);
    return false;
}

}  // namespace

bool resolve(const char* name, Volume** volume, std::string* path) {
    std::string device;
    if (!split(name, &device, path)) return false;
    auto it = state().volumes.find(device);
    if (it == state().volumes.end()) return false;
    *volume = it->second.get();
    return true;
}

bool mountVolume(const char* device, std::unique_ptr<Volume> volume) {
    std::string dev = deviceName(device);
    if (dev.empty() || !volume || state().volumes.count(dev)) return false;
    state().volumes[dev] = std::move(volume);
    return true;
}

void unmountVolume(const char* device) {
    auto it = state().volumes.find(deviceName(device));
    if (it == state().volumes.end()) return;
    for (auto& d : state().fds)
        if (d.volume == it->second.get()) {
            d.volume->close(d.handle);
            d = Descriptor{};
        }
    state().volumes.erase(it);
}

void unmountAllVolumes() {
    FileState& s = state();
    for (auto& d : s.fds)
        if (d.volume) d.volume->close(d.handle);
    s.fds.clear();
    s.volumes.clear();
    s.cwd = "/DskVol";
}

Volume* mountedVolume(const char* device) {
    auto it = state().volumes.find(deviceName(device));
    return it == state().volumes.end() ? nullptr : it->second.get();
}

bool sameFile(const char* a, const char* b) {
    Volume *va, *vb;
    std::string pa, pb;
    if (!resolve(a, &va, &pa) || !resolve(b, &vb, &pb) || va != vb) return false;
    Stat sa, sb;
    if (va->stat(pa, &sa) < 0 || vb->stat(pb, &sb) < 0) return pa == pb;
    return sa.serial == sb.serial;
}

int lastError() {
    return state().lastErrno;
}

// --- File calls ---------------------------------------------------------------

int open(const char* name, int flags, int /*mode*/) {
    Volume* vol;
    std::string path;
    if (!reach(name, &vol, &path)) return -1;
    int handle = vol->open(path, flags);
    if (handle < 0) return fail(-handle);
    auto& fds = state().fds;
    size_t slot = 0;
    while (slot < fds.size() && fds[slot].volume) ++slot;
    if (slot == fds.size()) fds.emplace_back();
    fds[slot] = Descriptor{vol, handle};
    return kFirstFileFd + int(slot);
}

int creat(const char* name, int mode) {
    return open(name, kOpenReadWrite | kOpenCreate | kOpenTrunc, mode);
}

long read(int fd, void* buf, size_t n) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    return check(d->volume->read(d->handle, buf, n));
}

long write(int fd, const void* buf, size_t n) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    return check(d->volume->write(d->handle, buf, n));
}

long lseek(int fd, long offset, int whence) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    return check(d->volume->seek(d->handle, offset, whence));
}

int close(int fd) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    Descriptor was = *d;
    *d = Descriptor{};
    return int(check(was.volume->close(was.handle)) < 0 ? -1 : 0);
}

int fsync(int fd) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    return check(d->volume->sync(d->handle)) < 0 ? -1 : 0;
}

int ftruncate(int fd, long length) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    if (length < 0) return fail(EINVAL);
    return check(d->volume->truncate(d->handle, uint64_t(length))) < 0 ? -1 : 0;
}

int fstat(int fd, Stat* st) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    return check(d->volume->fstat(d->handle, st)) < 0 ? -1 : 0;
}

int fstatfs(int fd, StatFs* st) {
    Descriptor* d = descriptor(fd);
    if (!d) return fail(EBADF);
    return check(d->volume->statfs(st)) < 0 ? -1 : 0;
}

#define STK_BY_NAME(call, ...)                \
    Volume* vol;                              \
    std::string path;                         \
    if (!reach(name, &vol, &path)) return -1; \
    return check(vol->call(path __VA_OPT__(, ) __VA_ARGS__)) < 0 ? -1 : 0

int unlink(const char* name) {
    STK_BY_NAME(unlink);
}
int mkdir(const char* name) {
    STK_BY_NAME(mkdir);
}
int rmdir(const char* name) {
    STK_BY_NAME(rmdir);
}
int stat(const char* name, Stat* st) {
    STK_BY_NAME(stat, st);
}
#undef STK_BY_NAME

int remove(const char* name) {
    Stat st;
    if (stat(name, &st) != 0) return -1;
    return (st.mode & kModeTypeMask) == kModeDir ? rmdir(name) : unlink(name);
}

int rename(const char* from, const char* to) {
    Volume *va, *vb;
    std::string pa, pb;
    if (!reach(from, &va, &pa) || !reach(to, &vb, &pb)) return -1;
    if (va != vb) return fail(EXDEV);
    return check(va->rename(pa, pb)) < 0 ? -1 : 0;
}

int statfs(const char* name, StatFs* st) {
    Stat s;
    if (stat(name, &s) != 0) return -1;
    Volume* vol;
    std::string path;
    reach(name, &vol, &path);
    return check(vol->statfs(st)) < 0 ? -1 : 0;
}

int chdir(const char* name) {
    std::string device, path;
    Stat st;
    if (!split(name, &device, &path)) return fail(ENOENT);
    if (stat(name, &st) != 0) return -1;
    if ((st.mode & kModeTypeMask) != kModeDir) return fail(ENOTDIR);
    state().cwd = "/" + device + (path.empty() ? "" : "/" + path);
    return 0;
}

char* getcwd(char* buf, size_t size) {
    const std::string& c = state().cwd;
    if (!buf || c.size() + 1 > size) {
        fail(ERANGE);
        return nullptr;
    }
    std::memcpy(buf, c.c_str(), c.size() + 1);
    return buf;
}

struct Dir {
    std::vector<std::string> names;
    size_t next = 0;
    DirEntry entry;
};

Dir* opendir(const char* name) {
    Volume* vol;
    std::string path;
    if (!reach(name, &vol, &path)) return nullptr;
    auto* dir = new Dir;
    if (check(vol->list(path, &dir->names)) < 0) {
        delete dir;
        return nullptr;
    }
    return dir;
}

DirEntry* readdir(Dir* dir) {
    if (!dir || dir->next >= dir->names.size()) return nullptr;
    const std::string& name = dir->names[dir->next++];
    size_t n = std::min(name.size(), sizeof dir->entry.name - 1);
    std::memcpy(dir->entry.name, name.data(), n);
    dir->entry.name[n] = '\0';
    return &dir->entry;
}

int closedir(Dir* dir) {
    if (!dir) return fail(EBADF);
    delete dir;
    return 0;
}

}  // namespace plat
