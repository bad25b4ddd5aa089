// Directory listings, volume figures and the RAM disk of the OS abstraction
// layer.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "fs/flash_volume.h"
#include "osapi/osapi.h"
#include "platform/platform.h"

namespace {

// The directory iteration of osapiFsDirFilesGet, kept between calls.
plat::Dir* iterDir = nullptr;

void iterReset() {
    if (iterDir) plat::closedir(iterDir);
    iterDir = nullptr;
}

bool isDotEntry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

bool isDir(const plat::Stat& st) {
    return (st.mode & plat::kModeTypeMask) == plat::kModeDir;
}
bool isRegular(const plat::Stat& st) {
    return (st.mode & plat::kModeTypeMask) == plat::kModeRegular;
}

uint32_t entryType(const char* name, const plat::Stat& st) {
    if (isDotEntry(name)) return kOsapiTypeDotEntry;
    if (isDir(st)) return kOsapiTypeDir;
    if (isRegular(st)) return kOsapiTypeFile;
    return 0;
}

uint32_t entryAccess(const plat::Stat& st) {
    bool r = st.mode & 0400;
    bool w = st.mode & 0200;
    if (r && w) return kOsapiAccessReadWrite;
    if (r) return kOsapiAccessReadOnly;
    if (w) return kOsapiAccessWriteOnly;
    return kOsapiAccessNone;
}

// Copies at most size - 1 characters and terminates.
void copyName(char* dst, size_t size, const char* src) {
    if (size == 0) return;
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

std::string workingDir() {
    char cwd[512];
    return plat::getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string(".");
}

std::string joinPath(const std::string& dir, const char* name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

STK_RESET_HOOK {
    iterReset();
}

int osapiFsDirFilesGet(const char* path, OsapiFsIterEntry* entry) {
    if (!path || !entry) return kOsapiFailure;
    if (!iterDir) {
        iterDir = plat::opendir(path);
        if (!iterDir) return kOsapiFailure;
    }
    plat::DirEntry* e = plat::readdir(iterDir);
    if (!e) {
        // The next call starts again from the first entry.
        iterReset();
        return kOsapiNothingMore;
    }
    copyName(entry->name, sizeof entry->name, e->name);
    plat::Stat st;
    if (plat::stat(joinPath(path, e->name).c_str(), &st) != 0) {
        iterReset();
        return kOsapiFailure;
    }
    entry->type = entryType(e->name, st);
    entry->access = entryAccess(st);
    entry->size = uint32_t(st.size);
    return kOsapiSuccess;
}

namespace {

// Walks `dir` while fewer than *capacity records are filled: every entry is
// examined with stat (a failure ends the listing with 1), its size added to
// *usedBytes, and regular files and directories handed to `fill` as the next
// record. Stores the count.
template <class Fill>
int listDirectory(const std::string& dir, uint32_t* capacity, uint32_t* usedBytes, Fill fill) {
    plat::Dir* d = plat::opendir(dir.c_str());
    if (!d) return kOsapiFailure;
    uint32_t count = 0;
    while (count < *capacity) {
        plat::DirEntry* e = plat::readdir(d);
        if (!e) break;
        plat::Stat st;
        if (plat::stat(joinPath(dir, e->name).c_str(), &st) != 0) {
            plat::closedir(d);
            return kOsapiFailure;
        }
        *usedBytes += uint32_t(st.size);
        if (!isDir(st) && !isRegular(st)) continue;
        fill(count++, e->name, st);
    }
    *capacity = count;
    plat::closedir(d);
    return kOsapiSuccess;
}

}  // namespace

int osapiFsListCompact(OsapiFsCompactEntry* entries, uint32_t* capacity) {
    if (!capacity || (!entries && *capacity > 0)) return kOsapiFailure;
    uint32_t used = 0;
    return listDirectory(workingDir(), capacity, &used,
                         [&](uint32_t index, const char* name, const plat::Stat& st) {
                             OsapiFsCompactEntry& out = entries[index];
                             copyName(out.name, sizeof out.name, name);
                             out.type = entryType(name, st);
                             out.access = entryAccess(st);
                             out.size = uint32_t(st.size);
                         });
}

int osapiFsList(OsapiFsListEntry* entries, OsapiFsDirSummary* summary, uint32_t* capacity) {
    if (!summary || !capacity || (!entries && *capacity > 0)) return kOsapiFailure;
    summary->path[sizeof summary->path - 1] = '\0';
    std::string dir = summary->path[0] ? std::string(summary->path) : workingDir();
    uint32_t used = 0;
    int rc = listDirectory(
        dir, capacity, &used, [&](uint32_t index, const char* name, const plat::Stat& st) {
            OsapiFsListEntry& out = entries[index];
            copyName(out.name, sizeof out.name, name);
            std::snprintf(out.type, sizeof out.type, "%u", entryType(name, st));
            char mode[5] = {isDir(st) ? 'd' : '-', '-', '-', '-', '\0'};
            if (st.mode & 0400) mode[1] = 'r';
            if (st.mode & 0200) mode[2] = 'w';
            if (st.mode & 0100) mode[3] = 'x';
            copyName(out.mode, sizeof out.mode, mode);
            std::tm tm = plat::localtime(st.mtime);
            std::snprintf(out.date, sizeof out.date, "%02d %02d %4d %02d:%02d:%02d", tm.tm_mon,
                          tm.tm_mday, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
            out.mtime = uint32_t(st.mtime);
            out.size = uint32_t(st.size);
            // The host's flash disk keeps no serial numbers.
            out.serial = 0;
        });
    if (rc != kOsapiSuccess) return rc;
    plat::StatFs fs;
    if (plat::statfs(dir.c_str(), &fs) != 0) return kOsapiFailure;
    uint64_t total = uint64_t(fs.bsize) * uint64_t(fs.blocks);
    summary->bytesUsed = used;
    summary->totalSize = uint32_t(total);
    summary->bytesFree = used < total ? uint32_t(total - used) : 0;
    return kOsapiSuccess;
}

int osapiFsDir(char* buffer, uint32_t size) {
    if (!buffer || size == 0) return kOsapiFailure;
    buffer[0] = '\0';
    std::string dir = workingDir();
    plat::Dir* d = plat::opendir(dir.c_str());
    if (!d) return kOsapiFailure;
    size_t written = 0;
    unsigned long long filesBytes = 0;
    while (plat::DirEntry* e = plat::readdir(d)) {
        plat::Stat st;
        if (plat::stat(joinPath(dir, e->name).c_str(), &st) != 0) {
            plat::closedir(d);
            return kOsapiFailure;
        }
        // Long names are cut to the 31 characters of a listing record.
        char line[128];
        if (isDir(st)) {
            std::snprintf(line, sizeof line, "%.31s\n", e->name);
        } else {
            std::snprintf(line, sizeof line, "%-34.31s%llu\n", e->name,
                          (unsigned long long)st.size);
            filesBytes += st.size;
        }
        size_t len = std::strlen(line);
        if (written + len >= size) {
            plat::closedir(d);
            return kOsapiFailure;
        }
        std::memcpy(buffer + written, line, len + 1);
        written += len;
    }
    plat::closedir(d);

    // The volume figures come from a scratch file of the volume.
    int fd = plat::creat("dummy1");
    if (fd < 0) return kOsapiFailure;
    plat::StatFs fs;
    int rc = plat::fstatfs(fd, &fs);
    plat::close(fd);
    plat::remove("dummy1");
    if (rc != 0) return kOsapiFailure;
    long total = fs.bsize * fs.blocks;
    long used = long(filesBytes);
    char tail[160];
    std::snprintf(tail, sizeof tail,
                  "\nFilesystem size %ld\nBytes used      %ld\nBytes free      %ld\n", total, used,
                  total - used);
    size_t len = std::strlen(tail);
    if (written + len >= size) return kOsapiFailure;
    std::memcpy(buffer + written, tail, len + 1);
    return kOsapiSuccess;
}

int osapiFsDirSize(uint32_t* total, uint32_t* used) {
    if (!total || !used) return kOsapiFailure;
    int fd = plat::open("fsyssize", plat::kOpenRead);
    if (fd < 0) fd = plat::open("fsyssize", plat::kOpenReadWrite | plat::kOpenCreate);
    if (fd < 0) return kOsapiFailure;
    plat::StatFs fs;
    int rc = plat::fstatfs(fd, &fs);
    plat::close(fd);
    if (rc != 0) return kOsapiFailure;
    uint64_t bytes = uint64_t(fs.bsize) * uint64_t(fs.blocks);
    uint64_t freeBytes = uint64_t(fs.bsize) * uint64_t(fs.bfree);
    *total = uint32_t(bytes);
    *used = uint32_t(bytes - freeBytes);
    return kOsapiSuccess;
}

int osapiFsRamCreate(uint32_t, const char* device, uint32_t size) {
    if (size <= 512) return kOsapiSuccess;
    // A second disk under a name in use would hide the files of the first.
    std::string dev = device ? device : "";
    while (dev.size() > 1 && dev.back() == '/') dev.pop_back();
    if (dev.empty() || dev == "/DskVol" || plat::mountedVolume(dev.c_str())) return kOsapiError;
    std::unique_ptr<plat::Volume> volume;
    if (fs::createRamVolume(size, dev.substr(1), &volume) != 0) return kOsapiError;
    return plat::mountVolume(dev.c_str(), std::move(volume)) ? kOsapiSuccess : kOsapiError;
}
