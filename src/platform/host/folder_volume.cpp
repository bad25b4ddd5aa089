// The folder flash disk and its volumes.
#include "platform/host/folder_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "platform/board_map.h"
#include "platform/bus.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/host/board.h"

namespace plat {

namespace {
// The translation layer's mark of a formatted volume, at the start of its
// first erase unit.
constexpr uint8_t kFormatMark[16] = {'S', 'T', 'K', '-', 'T', 'F', 'F', 'S',
                                     '-', 'F', 'M', 'T', '-', '0', '1', 0};
constexpr long kBlockSize = 4096;
// The flash disk takes the chip below the boot program's last megabyte, 99 per
// cent of it in use.
constexpr uint64_t kVolumeBytes =
    ((uint64_t(kNorSize) - (1u << 20)) * 99 / 100) / kBlockSize * kBlockSize;

// The bytes where the format mark goes, read through the driver's map.
bool readMarkArea(FLFlash& flash, uint8_t* mark) {
    uint32_t at = flash.map(&flash, 0, sizeof kFormatMark);
    return busReadBlock(at, mark, sizeof kFormatMark);
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

int err(int e) {
    return -e;
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

class FolderVolume : public Volume {
  public:
    FolderVolume(FolderDisk& disk, std::string root, uint64_t capacity, long block)
        : disk_(disk), root_(std::move(root)), capacity_(capacity), block_(block) {}
    ~FolderVolume() override {
        for (const auto& open : open_) ::close(open.first);
    }

    int open(const std::string& path, int flags) override {
        std::string host = hostOf(path);
        int access = flags & 3;
        int hostFlags = access == kOpenReadWrite ? O_RDWR
                        : access == kOpenWrite   ? O_WRONLY
                                                 : O_RDONLY;
        bool changing = access != kOpenRead || (flags & (kOpenCreate | kOpenTrunc));
        if (flags & kOpenCreate) hostFlags |= O_CREAT;
        if (flags & kOpenTrunc) hostFlags |= O_TRUNC;
        if (changing && leadsOutside(disk_.boardDir(), host)) {
            std::string name = path.substr(path.rfind('/') + 1);
            hostNote("refusing to write %s: it leads outside the board folder", name.c_str());
            return err(EACCES);
        }
        if (changing) disk_.beforeChange();
        int fd = ::open(host.c_str(), hostFlags | O_CLOEXEC, 0644);
        if (fd < 0) return err(errno);
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && access != kOpenRead) {
            ::close(fd);
            return err(EISDIR);
        }
        open_[fd] = Open{host, changing};
        return fd;
    }

    long read(int h, void* buf, size_t n) override {
        ssize_t r;
        do {
            r = ::read(h, buf, n);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return err(errno);
        auto it = open_.find(h);
        if (it != open_.end()) disk_.afterRead(it->second.host, buf, long(r));
        return long(r);
    }

    long write(int h, const void* buf, size_t n) override {
        disk_.beforeChange();
        if (disk_.injectWriteFailure()) return err(EIO);
        size_t allowed = disk_.allowWrite(n);
        if (allowed == 0 && n > 0) return err(ENOSPC);
        const char* p = static_cast<const char*>(buf);
        size_t done = 0;
        while (done < allowed) {
            ssize_t w = ::write(h, p + done, allowed - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return done ? long(done) : err(errno);
            done += size_t(w);
        }
        return long(done);
    }

    long seek(int h, long offset, int whence) override {
        off_t r = ::lseek(h, offset, whence);
        return r < 0 ? err(errno) : long(r);
    }

    int truncate(int h, uint64_t length) override {
        disk_.beforeChange();
        return ::ftruncate(h, off_t(length)) == 0 ? 0 : err(errno);
    }

    int sync(int h) override {
        disk_.beforeChange();
        return ::fsync(h) == 0 ? 0 : err(errno);
    }

    int close(int h) override {
        auto it = open_.find(h);
        if (it != open_.end()) {
            bool written = it->second.written;
            open_.erase(it);
            if (written) disk_.beforeChange();
        }
        return ::close(h) == 0 ? 0 : err(errno);
    }

    int fstat(int h, Stat* st) override {
        struct stat hs;
        if (::fstat(h, &hs) != 0) return err(errno);
        fill(hs, st);
        return 0;
    }

    int stat(const std::string& path, Stat* st) override {
        struct stat hs;
        if (::stat(hostOf(path).c_str(), &hs) != 0) return err(errno);
        fill(hs, st);
        return 0;
    }

    int unlink(const std::string& path) override {
        disk_.beforeChange();
        return ::unlink(hostOf(path).c_str()) == 0 ? 0 : err(errno);
    }
    int mkdir(const std::string& path) override {
        disk_.beforeChange();
        return ::mkdir(hostOf(path).c_str(), 0755) == 0 ? 0 : err(errno);
    }
    int rmdir(const std::string& path) override {
        disk_.beforeChange();
        return ::rmdir(hostOf(path).c_str()) == 0 ? 0 : err(errno);
    }
    int rename(const std::string& from, const std::string& to) override {
        disk_.beforeChange();
        return ::rename(hostOf(from).c_str(), hostOf(to).c_str()) == 0 ? 0 : err(errno);
    }

    int statfs(StatFs* st) override {
        uint64_t used = treeBytes(root_, block_);
        st->bsize = block_;
        st->blocks = long(capacity_ / uint64_t(block_));
        long usedBlocks = long(used / uint64_t(block_));
        st->bfree = usedBlocks >= st->blocks ? 0 : st->blocks - usedBlocks;
        return 0;
    }

    int list(const std::string& path, std::vector<std::string>* names) override {
        DIR* d = ::opendir(hostOf(path).c_str());
        if (!d) return err(errno);
        while (struct dirent* e = ::readdir(d)) names->push_back(e->d_name);
        ::closedir(d);
        return 0;
    }

    void show(const char* name, int level) override {
        StatFs fs;
        statfs(&fs);
        uint64_t total = uint64_t(fs.bsize) * uint64_t(fs.blocks);
        uint64_t freeBytes = uint64_t(fs.bsize) * uint64_t(fs.bfree);
        plat::printf("\nvolume Name: %s\n", name);
        plat::printf("total number of clusters:  %ld\n", fs.blocks);
        plat::printf("bytes per cluster:         %ld\n", fs.bsize);
        plat::printf("total bytes on volume:     %llu\n", (unsigned long long)total);
        plat::printf("bytes in use:              %llu\n", (unsigned long long)(total - freeBytes));
        plat::printf("free bytes on volume:      %llu\n", (unsigned long long)freeBytes);
        if (level > 1) plat::printf("number of FAT copies:      2\n");
    }

  private:
    struct Open {
        std::string host;
        bool written;
    };

    std::string hostOf(const std::string& path) const {
        return path.empty() ? root_ : root_ + "/" + path;
    }

    static void fill(const struct stat& hs, Stat* st) {
        st->mode = (S_ISDIR(hs.st_mode)   ? kModeDir
                    : S_ISREG(hs.st_mode) ? kModeRegular
                                          : 0) |
                   (hs.st_mode & 0777);
        st->size = uint64_t(hs.st_size);
        st->mtime = hs.st_mtime;
        st->serial = uint32_t(hs.st_ino);
    }

    FolderDisk& disk_;
    std::string root_;
    uint64_t capacity_;
    long block_;
    std::map<int, Open> open_;
};

}  // namespace

FolderDisk::FolderDisk(std::string boardDir) : dir_(std::move(boardDir)), root_(dir_ + "/DskVol") {}

bool FolderDisk::formatted() const {
    FLFlash flash;
    uint8_t mark[sizeof kFormatMark];
    if (tffsIdentify(&flash) != flOK || !readMarkArea(flash, mark) ||
        std::memcmp(mark, kFormatMark, sizeof mark) != 0)
        return false;
    struct stat st;
    return ::stat(root_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int FolderDisk::mount(std::unique_ptr<Volume>* volume) {
    if (!formatted()) return -1;
    *volume = std::make_unique<FolderVolume>(*this, root_, kVolumeBytes, kBlockSize);
    return 0;
}

int FolderDisk::format(const TffsFormatParams& params) {
    return writeMark(params.progress, false);
}

int FolderDisk::adoptFiles() {
    return writeMark(nullptr, true);
}

int FolderDisk::writeMark(void (*progress)(int), bool keepFiles) {
    ::mkdir(dir_.c_str(), 0755);
    FLFlash flash;
    uint8_t mark[sizeof kFormatMark];
    if (tffsIdentify(&flash) != flOK || !readMarkArea(flash, mark)) return -1;
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

bool FolderDisk::hostPath(const char* name, std::string* host) const {
    if (!boardInstalled() || &board().flashDisk() != this) return false;
    Volume* vol;
    std::string path;
    if (!resolve(name, &vol, &path) || vol != mountedVolume("/DskVol")) {
        // Not mounted (yet): names under /DskVol still map into the folder.
        std::string n = name ? name : "";
        if (n.rfind("/DskVol", 0) != 0) return false;
        *host = root_ + n.substr(7);
        return true;
    }
    *host = path.empty() ? root_ : root_ + "/" + path;
    return true;
}

void FolderDisk::corruptReadsOf(const char* name, uint8_t mask) {
    std::string host;
    corruptPath_ = hostPath(name, &host) ? host : std::string();
    corruptMask_ = mask;
}

void FolderDisk::clearFaults() {
    failWriteAt_ = 0;
    freeBudget_ = -1;
    powerLossAt_ = 0;
    corruptPath_.clear();
}

void FolderDisk::beforeChange() {
    ++changingOps_;
    if (powerLossAt_ > 0 && --powerLossAt_ == 0) {
        BoardStop stop{BoardStop::Kind::PowerLoss};
        stop.note = "power cut by fault injection";
        throw stop;
    }
}

bool FolderDisk::injectWriteFailure() {
    return failWriteAt_ > 0 && --failWriteAt_ == 0;
}

void FolderDisk::afterRead(const std::string& hostPath, void* buf, long n) const {
    if (corruptPath_.empty() || hostPath != corruptPath_) return;
    auto* bytes = static_cast<uint8_t*>(buf);
    for (long i = 0; i < n; ++i) bytes[i] ^= corruptMask_;
}

size_t FolderDisk::allowWrite(size_t n) {
    if (freeBudget_ < 0) return n;
    size_t k = std::min<uint64_t>(n, uint64_t(freeBudget_));
    freeBudget_ -= int64_t(k);
    return k;
}

}  // namespace plat
