// The flash disk on the host: a folder per volume, reached only through board
// names, with fault injection in front of every change.
#include "platform/flashdisk.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "platform/address_map.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/kernel.h"

namespace plat {

int flFileSysSectorStart = 1;

namespace {
// The translation layer's mark of a formatted volume, at the start of its
// first erase unit.
constexpr uint8_t kFormatMark[16] = {'S', 'T', 'K', '-', 'T', 'F', 'F', 'S',
                                     '-', 'F', 'M', 'T', '-', '0', '1', 0};
constexpr long kBlockSize = 4096;
// RAM disks are block devices of 512-byte blocks.
constexpr long kRamBlockSize = 512;
// The flash disk takes the chip below the boot program's last megabyte, 99 per
// cent of it in use.
constexpr uint64_t kVolumeBytes =
    ((uint64_t(kNorSize) - (1u << 20)) * 99 / 100) / kBlockSize * kBlockSize;

int lastErrno = 0;
std::set<int> writtenFds;
// Host path of every open descriptor: its volume's figures and room.
std::map<int, std::string> openPaths;
STK_RESET_HOOK {
    lastErrno = 0;
    writtenFds.clear();
    // A reset loses every descriptor; the host files must not stay open behind them.
    for (const auto& open : openPaths) ::close(open.first);
    openPaths.clear();
}

int fail(int e) {
    lastErrno = e;
    errno = e;
    return -1;
}

FlashDisk& disk() {
    return board().disk();
}

MtdIdentifyRoutine mtdIdentify = nullptr;
FlSocket socket0;

STK_RESET_HOOK {
    socket0 = FlSocket{};
    flFileSysSectorStart = 1;
}

// Asks the registered driver to identify the flash; false for unknown media.
bool identifyFlash(FLFlash& flash) {
    return tffsIdentify(&flash) == flOK;
}

// The bytes where the format mark goes, read through the driver's map.
bool readMarkArea(FLFlash& flash, uint8_t* mark) {
    uint32_t at = flash.map(&flash, 0, sizeof kFormatMark);
    for (size_t i = 0; i < sizeof kFormatMark; ++i)
        if (!board().map().read8(at + uint32_t(i), &mark[i])) return false;
    return true;
}

uint64_t roundUp(uint64_t bytes, long block) {
    return (bytes + uint64_t(block) - 1) / uint64_t(block) * uint64_t(block);
}

// Bytes the files below a folder take in whole blocks.
uint64_t treeBytes(const std::string& path, long block) {
    static uint64_t total;
    static long blockSize;
    total = 0;
    blockSize = block;
    ::nftw(
        path.c_str(),
        [](const char*, const struct stat* st, int type, struct FTW*) {
            if (type == FTW_F) total += roundUp(uint64_t(st->st_size), blockSize);
            return 0;
        },
        16, FTW_PHYS);
    return total;
}

void removeTree(const std::string& path) {
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int type, struct FTW*) {
            if (type == FTW_DP)
                ::rmdir(p);
            else
                ::unlink(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

FlashDisk::FlashDisk(std::string boardDir)
    : dir_(std::move(boardDir)),
      root_(dir_ + "/DskVol"),
      cwd_("/DskVol"),
      capacity_(kVolumeBytes) {}

bool FlashDisk::formatted() const {
    FLFlash flash;
    uint8_t mark[sizeof kFormatMark];
    if (!identifyFlash(flash) || !readMarkArea(flash, mark) ||
        std::memcmp(mark, kFormatMark, sizeof mark) != 0)
        return false;
    struct stat st;
    return ::stat(root_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int FlashDisk::format(void (*progress)(int), bool keepFiles) {
    mounted_ = false;
    ::mkdir(dir_.c_str(), 0755);
    FLFlash flash;
    uint8_t mark[sizeof kFormatMark];
    if (!identifyFlash(flash) || !readMarkArea(flash, mark)) return -1;
    // Erase the mark's unit first, so an interrupted format leaves an
    // unformatted disk; a blank mark area needs no erase before programming.
    bool blank = std::all_of(mark, mark + sizeof mark, [](uint8_t b) { return b == 0xFF; });
    if (!blank && flash.erase(&flash, 0, 1) != flOK) return -1;
    if (!keepFiles) removeTree(root_);
    bool ok = ::mkdir(root_.c_str(), 0755) == 0 || (keepFiles && errno == EEXIST);
    for (int pct = 0; ok && pct <= 100; pct += 10)
        if (progress) progress(pct);
    ok = ok && flash.write(&flash, 0, kFormatMark, sizeof kFormatMark, 0) == flOK;
    return ok ? 0 : -1;
}

int FlashDisk::mount() {
    mounted_ = formatted();
    return mounted_ ? 0 : -1;
}

int FlashDisk::addVolume(const char* device, uint64_t capacity) {
    if (!device || device[0] != '/' || std::strlen(device) < 2) return -1;
    std::string dev(device);
    while (dev.size() > 1 && dev.back() == '/') dev.pop_back();
    if (dev.find('/', 1) != std::string::npos || dev == "/DskVol") return -1;
    // A second disk under the same name would wipe the files of the first.
    if (volumes_.count(dev.substr(1))) return -1;
    std::string host = dir_ + "/volumes" + dev;
    ::mkdir((dir_ + "/volumes").c_str(), 0755);
    removeTree(host);  // left by an earlier run: a RAM disk starts empty
    if (::mkdir(host.c_str(), 0755) != 0) return -1;
    volumes_[dev.substr(1)] = Volume{host, capacity};
    return 0;
}

const FlashDisk::Volume* FlashDisk::ramVolumeOf(const std::string& hostPath) const {
    for (const auto& [dev, vol] : volumes_)
        if (hostPath == vol.host || hostPath.rfind(vol.host + "/", 0) == 0) return &vol;
    return nullptr;
}

std::string FlashDisk::volumeOf(const std::string& hostPath) const {
    const Volume* vol = ramVolumeOf(hostPath);
    return vol ? vol->host : root_;
}

void FlashDisk::volumeFigures(const std::string& hostPath, StatFs* st) const {
    const Volume* vol = ramVolumeOf(hostPath);
    long block = vol ? kRamBlockSize : kBlockSize;
    uint64_t used = treeBytes(vol ? vol->host : root_, block);
    st->bsize = block;
    st->blocks = long((vol ? vol->capacity : capacity_) / uint64_t(block));
    long usedBlocks = long(used / uint64_t(block));
    st->bfree = usedBlocks >= st->blocks ? 0 : st->blocks - usedBlocks;
}

size_t FlashDisk::roomFor(const std::string& hostPath, int hostFd, size_t n) const {
    const Volume* vol = ramVolumeOf(hostPath);
    if (!vol) return n;
    struct stat st;
    off_t at = ::lseek(hostFd, 0, SEEK_CUR);
    if (::fstat(hostFd, &st) != 0 || at < 0) return 0;
    // The blocks the file has already, and those still free on the volume.
    uint64_t owned = roundUp(uint64_t(st.st_size), kRamBlockSize);
    uint64_t used = treeBytes(vol->host, kRamBlockSize);
    uint64_t cap = vol->capacity / kRamBlockSize * kRamBlockSize;
    uint64_t limit = owned + (used < cap ? cap - used : 0);  // furthest byte the file may reach
    if (uint64_t(at) >= limit) return 0;
    return size_t(std::min<uint64_t>(n, limit - uint64_t(at)));
}

bool FlashDisk::resolve(const char* name, std::string& hostPath) const {
    if (!name || !*name) return false;
    std::string full = name[0] == '/' ? std::string(name) : cwd_ + "/" + name;
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
        parts.push_back(part);
    }
    if (parts.empty()) return false;
    std::string base;
    if (parts[0] == "DskVol") {
        base = root_;
    } else {
        auto it = volumes_.find(parts[0]);
        if (it == volumes_.end()) return false;
        base = it->second.host;
    }
    hostPath = base;
    for (size_t k = 1; k < parts.size(); ++k) hostPath += "/" + parts[k];
    return true;
}

int FlashDisk::chdir(const char* name) {
    std::string host;
    if (!resolve(name, host)) return fail(ENOENT);
    struct stat st;
    if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail(ENOTDIR);
    // Rebuild the board path from the host path.
    std::string vol = volumeOf(host);
    std::string dev = "/DskVol";
    for (const auto& [d, v] : volumes_)
        if (v.host == vol) dev = "/" + d;
    cwd_ = dev + host.substr(vol.size());
    return 0;
}

void FlashDisk::beforeChange() {
    ++changingOps_;
    if (powerLossAt_ > 0 && --powerLossAt_ == 0) {
        BoardStop stop{BoardStop::Kind::PowerLoss};
        stop.note = "power cut by fault injection";
        throw stop;
    }
}

bool FlashDisk::injectWriteFailure() {
    if (failWriteAt_ > 0 && --failWriteAt_ == 0) return true;
    return false;
}

void FlashDisk::afterRead(const std::string& hostPath, void* buf, long n) const {
    if (corruptPath_.empty() || hostPath != corruptPath_) return;
    auto* bytes = static_cast<uint8_t*>(buf);
    for (long i = 0; i < n; ++i) bytes[i] ^= corruptMask_;
}

size_t FlashDisk::allowWrite(size_t n) {
    if (freeBudget_ < 0) return n;
    size_t k = std::min<uint64_t>(n, uint64_t(freeBudget_));
    freeBudget_ -= int64_t(k);
    return k;
}

// A board folder copied from elsewhere may hold symbolic links: nothing the
// board writes may land outside the board folder, whether through a link to a
// file or through a linked folder on the way.
bool leadsOutside(const std::string& boardDir, const std::string& host) {
    char* base = ::realpath(boardDir.c_str(), nullptr);
    if (!base) return true;
    std::string root = std::string(base) + "/";
    ::free(base);
    auto inside = [&root](const char* path) {
        char* real = ::realpath(path, nullptr);
        bool ok = real && (std::string(real) + "/").rfind(root, 0) == 0;
        ::free(real);
        return ok;
    };
    struct stat st;
    if (::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !inside(host.c_str()))
        return true;
    size_t slash = host.rfind('/');
    return slash != std::string::npos && !inside(host.substr(0, slash).c_str());
}

// --- File calls ---------------------------------------------------------------

int open(const char* name, int flags, int mode) {
    std::string host;
    if (!disk().resolve(name, host)) return fail(ENOENT);
    int access = flags & 3;
    int hostFlags = access == kOpenReadWrite ? O_RDWR : access == kOpenWrite ? O_WRONLY : O_RDONLY;
    bool changing = access != kOpenRead || (flags & (kOpenCreate | kOpenTrunc));
    if (flags & kOpenCreate) hostFlags |= O_CREAT;
    if (flags & kOpenTrunc) hostFlags |= O_TRUNC;
    if (changing && leadsOutside(disk().boardDir(), host)) {
        hostNote("refusing to write %s: it leads outside the board folder", name);
        return fail(EACCES);
    }
    if (changing) disk().beforeChange();
    int fd = ::open(host.c_str(), hostFlags | O_CLOEXEC, mode ? mode : 0644);
    if (fd < 0) return fail(errno);
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && access != kOpenRead) {
        ::close(fd);
        return fail(EISDIR);
    }
    if (changing) writtenFds.insert(fd);
    openPaths[fd] = host;
    return fd;
}

int creat(const char* name, int mode) {
    return open(name, kOpenReadWrite | kOpenCreate | kOpenTrunc, mode);
}

long read(int fd, void* buf, size_t n) {
    ssize_t r;
    do {
        r = ::read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return fail(errno);
    auto path = openPaths.find(fd);
    if (path != openPaths.end()) disk().afterRead(path->second, buf, long(r));
    return long(r);
}

long write(int fd, const void* buf, size_t n) {
    if (fd < 0) return fail(EBADF);
    disk().beforeChange();
    if (disk().injectWriteFailure()) return fail(EIO);
    auto path = openPaths.find(fd);
    size_t room = path == openPaths.end() ? n : disk().roomFor(path->second, fd, n);
    size_t allowed = disk().allowWrite(room);
    if (allowed == 0 && n > 0) return fail(ENOSPC);
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < allowed) {
        ssize_t w = ::write(fd, p + done, allowed - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return done ? long(done) : fail(errno);
        done += size_t(w);
    }
    return long(done);
}

long lseek(int fd, long offset, int whence) {
    off_t r = ::lseek(fd, offset, whence);
    if (r < 0) return fail(errno);
    return long(r);
}

int close(int fd) {
    if (fd < 0) return fail(EBADF);
    if (writtenFds.count(fd)) {
        disk().beforeChange();
        writtenFds.erase(fd);
    }
    openPaths.erase(fd);
    if (::close(fd) != 0) return fail(errno);
    return 0;
}

int fsync(int fd) {
    disk().beforeChange();
    if (::fsync(fd) != 0) return fail(errno);
    return 0;
}

int ftruncate(int fd, long length) {
    disk().beforeChange();
    if (::ftruncate(fd, off_t(length)) != 0) return fail(errno);
    return 0;
}

int unlink(const char* name) {
    std::string host;
    if (!disk().resolve(name, host)) return fail(ENOENT);
    disk().beforeChange();
    if (::unlink(host.c_str()) != 0) return fail(errno);
    return 0;
}

int remove(const char* name) {
    std::string host;
    if (!disk().resolve(name, host)) return fail(ENOENT);
    disk().beforeChange();
    if (::remove(host.c_str()) != 0) return fail(errno);
    return 0;
}

int rename(const char* from, const char* to) {
    std::string a, b;
    if (!disk().resolve(from, a) || !disk().resolve(to, b)) return fail(ENOENT);
    disk().beforeChange();
    if (::rename(a.c_str(), b.c_str()) != 0) return fail(errno);
    return 0;
}

static void fillStat(const struct stat& hs, Stat* st) {
    st->mode = (S_ISDIR(hs.st_mode)   ? kModeDir
                : S_ISREG(hs.st_mode) ? kModeRegular
                                      : 0) |
               (hs.st_mode & 0777);
    st->size = uint64_t(hs.st_size);
    st->mtime = hs.st_mtime;
}

int stat(const char* name, Stat* st) {
    std::string host;
    if (!disk().resolve(name, host)) return fail(ENOENT);
    struct stat hs;
    if (::stat(host.c_str(), &hs) != 0) return fail(errno);
    fillStat(hs, st);
    return 0;
}

int fstat(int fd, Stat* st) {
    struct stat hs;
    if (::fstat(fd, &hs) != 0) return fail(errno);
    fillStat(hs, st);
    return 0;
}

int mkdir(const char* name) {
    std::string host;
    if (!disk().resolve(name, host)) return fail(ENOENT);
    disk().beforeChange();
    if (::mkdir(host.c_str(), 0755) != 0) return fail(errno);
    return 0;
}

int rmdir(const char* name) {
    std::string host;
    if (!disk().resolve(name, host)) return fail(ENOENT);
    disk().beforeChange();
    if (::rmdir(host.c_str()) != 0) return fail(errno);
    return 0;
}

int chdir(const char* name) {
    return disk().chdir(name);
}

int cd(const char* name) {
    if (chdir(name) != 0) {
        plat::printf("cd: error = %#x.\n", lastErrno);
        return -1;
    }
    return 0;
}

char* getcwd(char* buf, size_t size) {
    std::string c = disk().cwd();
    if (!buf || c.size() + 1 > size) {
        fail(ERANGE);
        return nullptr;
    }
    std::memcpy(buf, c.c_str(), c.size() + 1);
    return buf;
}

void pwd() {
    plat::printf("%s\n", disk().cwd().c_str());
}

static int statfsHost(const std::string& host, StatFs* st) {
    disk().volumeFigures(host, st);
    return 0;
}

int statfs(const char* name, StatFs* st) {
    std::string host;
    if (!disk().resolve(name, host)) return fail(ENOENT);
    struct stat hs;
    if (::stat(host.c_str(), &hs) != 0) return fail(errno);
    return statfsHost(host, st);
}

int fstatfs(int fd, StatFs* st) {
    struct stat hs;
    if (::fstat(fd, &hs) != 0) return fail(errno);
    auto path = openPaths.find(fd);
    return statfsHost(path == openPaths.end() ? disk().hostRoot() : path->second, st);
}

struct Dir {
    DIR* d;
    DirEntry entry;
};

Dir* opendir(const char* name) {
    std::string host;
    if (!disk().resolve(name, host)) {
        fail(ENOENT);
        return nullptr;
    }
    DIR* d = ::opendir(host.c_str());
    if (!d) {
        fail(errno);
        return nullptr;
    }
    return new Dir{d, {}};
}

DirEntry* readdir(Dir* dir) {
    if (!dir) return nullptr;
    struct dirent* e = ::readdir(dir->d);
    if (!e) return nullptr;
    std::snprintf(dir->entry.name, sizeof dir->entry.name, "%s", e->d_name);
    return &dir->entry;
}

int closedir(Dir* dir) {
    if (!dir) return fail(EBADF);
    ::closedir(dir->d);
    delete dir;
    return 0;
}

int copy(const char* from, const char* to) {
    int in = open(from, kOpenRead);
    if (in < 0) return -1;
    // Opening the destination truncates it: when both names reach the same
    // file ("image1", "./image1", "/DskVol/files/image1") that would empty
    // the source, so such a copy is refused and the file stays as it was.
    std::string toHost;
    struct stat src, dst;
    if (disk().resolve(to, toHost) && ::fstat(in, &src) == 0 && ::stat(toHost.c_str(), &dst) == 0 &&
        src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) {
        close(in);
        return fail(EINVAL);
    }
    int out = open(to, kOpenReadWrite | kOpenCreate | kOpenTrunc);
    if (out < 0) {
        close(in);
        return -1;
    }
    std::vector<char> buf(64 * 1024);
    int result = 0;
    for (;;) {
        long r = read(in, buf.data(), buf.size());
        if (r < 0) {
            result = -1;
            break;
        }
        if (r == 0) break;
        if (write(out, buf.data(), size_t(r)) != r) {
            result = -1;
            break;
        }
    }
    close(in);
    if (close(out) != 0) result = -1;
    return result;
}

static void listDir(const std::string& boardPath, bool longForm, bool recursive) {
    Dir* d = opendir(boardPath.c_str());
    if (!d) return;
    std::vector<std::string> subdirs;
    plat::printf("\nListing Directory %s:\n", boardPath.c_str());
    while (DirEntry* e = readdir(d)) {
        std::string child = boardPath + "/" + e->name;
        Stat st;
        if (stat(child.c_str(), &st) != 0) continue;
        bool isDir = (st.mode & kModeTypeMask) == kModeDir;
        if (longForm) {
            char mode[11] = "----------";
            if (isDir) mode[0] = 'd';
            const char* rwx = "rwxrwxrwx";
            for (int i = 0; i < 9; ++i)
                if (st.mode & (0400 >> i)) mode[i + 1] = rwx[i];
            std::tm tm = localtime(st.mtime);
            char date[32];
            std::strftime(date, sizeof date, "%b %e %Y %H:%M", &tm);
            plat::printf("%s 1 0 0 %10llu %s %s%s\n", mode, (unsigned long long)st.size, date,
                         e->name, isDir ? "/" : "");
        } else {
            plat::printf("%s%s\n", e->name, isDir ? "/" : "");
        }
        if (isDir && recursive && std::strcmp(e->name, ".") != 0 && std::strcmp(e->name, "..") != 0)
            subdirs.push_back(child);
    }
    closedir(d);
    for (const auto& s : subdirs) listDir(s, longForm, recursive);
}

int dirList(const char* name, bool longForm, bool recursive) {
    std::string path = name && *name ? name : disk().cwd();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    Stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    listDir(path, longForm, recursive);
    return 0;
}

int dosFsShow(const char* volume, int level) {
    std::string host;
    if (!disk().resolve(volume, host)) return -1;
    StatFs fs;
    statfsHost(host, &fs);
    uint64_t total = uint64_t(fs.bsize) * uint64_t(fs.blocks);
    uint64_t freeBytes = uint64_t(fs.bsize) * uint64_t(fs.bfree);
    plat::printf("\nvolume Name: %s\n", volume);
    plat::printf("total number of clusters:  %ld\n", fs.blocks);
    plat::printf("bytes per cluster:         %ld\n", fs.bsize);
    plat::printf("total bytes on volume:     %llu\n", (unsigned long long)total);
    plat::printf("bytes in use:              %llu\n", (unsigned long long)(total - freeBytes));
    plat::printf("free bytes on volume:      %llu\n", (unsigned long long)freeBytes);
    if (level > 1) plat::printf("number of FAT copies:      2\n");
    return 0;
}

int lastError() {
    return lastErrno;
}

int tffsIdentify(FLFlash* flash) {
    if (!mtdIdentify) return flUnknownMedia;
    *flash = FLFlash{};
    flash->socket = &socket0;
    int rc = mtdIdentify(flash);
    if (rc != flOK) return rc;
    bool usable = flash->map && flash->write && flash->erase && flash->erasableBlockSize > 0;
    return usable ? flOK : flUnknownMedia;
}

void tffsMtdRegister(MtdIdentifyRoutine identify) {
    mtdIdentify = identify;
}
void flSetWindowBusWidth(FlSocket* socket, int bits) {
    socket->busWidth = bits;
}
void flSetWindowSpeed(FlSocket* socket, int nanoseconds) {
    socket->windowSpeed = nanoseconds;
}
bool flWriteProtected(FlSocket* socket) {
    return socket->writeProtected;
}
FlSocket& tffsSocket() {
    return socket0;
}

int usrTffsConfig(int drive, int /*removable*/, const char* name) {
    if (drive != 0) {
        plat::printf("drive is out of range (0-%d).\n", 0);
        return -1;
    }
    if (!name || std::strcmp(name, "/DskVol/") != 0) {
        plat::printf("tffsDevCreate failed.\n");
        return -1;
    }
    return disk().mount();
}

int tffsDevFormat(int drive, void (*progress)(int)) {
    if (drive != 0) return -1;
    return disk().format(progress);
}

}  // namespace plat
