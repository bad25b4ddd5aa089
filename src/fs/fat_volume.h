// A FAT12/16 file system on a block device, as a volume of the file calls.
// On-disk format: fat_format.h.
//
// Crash safety. A file's changes stay in RAM and in clusters no committed
// file uses until the file is synced or closed; the commit then writes the
// allocation table (both copies) and, last, the directory entry:
//  - data appended to a file goes to new clusters linked after its chain: a
//    cut before the entry's new size leaves a chain longer than the size,
//    which the checker cuts back;
//  - data that changes what the file held goes to new clusters for the whole
//    file (copy on write), and the one sector of the directory entry switches
//    the file from the old chain to the new one; the old chain is freed after;
//  - a file that shrinks gets its new size first, then its freed clusters.
// So a cut leaves every file with its old or its new contents; what it can
// leave behind (lost clusters, a chain longer than its size, a half-written
// long name) the checker repairs at the next mount. Only when the volume has
// no room for the copy does a change go to the file's own clusters.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fs/block_device.h"
#include "fs/fat_format.h"
#include "fs/fat_table.h"
#include "platform/volume.h"

namespace fs {

class FatVolume : public plat::Volume {
  public:
    // Mounts the FAT volume on `dev` and runs the disk checker, which reports
    // what it repaired in one console line "<name>: disk check: ..." (the
    // phrases in `notes` first). 0, or -EINVAL when the device holds no FAT
    // volume, or an I/O error.
    static int mount(std::unique_ptr<BlockDevice> dev, const std::string& name,
                     std::unique_ptr<FatVolume>* out, const std::vector<std::string>& notes = {});
    ~FatVolume() override;  // commits and closes every open file

    int open(const std::string& path, int flags) override;
    long read(int handle, void* buf, size_t n) override;
    long write(int handle, const void* buf, size_t n) override;
    long seek(int handle, long offset, int whence) override;
    int truncate(int handle, uint64_t length) override;
    int sync(int handle) override;
    int close(int handle) override;
    int fstat(int handle, plat::Stat* st) override;
    int stat(const std::string& path, plat::Stat* st) override;
    int unlink(const std::string& path) override;
    int mkdir(const std::string& path) override;
    int rmdir(const std::string& path) override;
    int rename(const std::string& from, const std::string& to) override;
    int statfs(plat::StatFs* st) override;
    int list(const std::string& path, std::vector<std::string>* names) override;
    void show(const char* name, int level) override;

    // Commits every open file.
    int syncAll();
    // What the mount's check repaired (its phrases); empty when nothing.
    const std::vector<std::string>& repairs() const { return repairs_; }
    const FatGeometry& geometry() const { return g_; }
    BlockDevice& device() { return *dev_; }

  private:
    static constexpr uint32_t kRoot = 0xFFFFFFFF;  // the root's own node position

    // A directory entry as a lookup finds it.
    struct Entry {
        uint32_t dir = 0;    // first cluster of its directory, 0 for the root
        uint32_t index = 0;  // index of the short entry in the directory
        uint32_t first = 0;  // index of its first long name entry (index without)
        uint8_t raw[kEntrySize] = {};
        std::string name;
        bool isDir() const { return raw[11] & kAttrDir; }
        uint32_t cluster() const;
        uint32_t size() const;
    };
    // An open file or directory, shared by its handles.
    struct Node {
        uint32_t dir = kRoot, index = 0;
        bool isDir = false, readOnly = false, unlinked = false;
        bool modified = false, inPlace = false;
        int refs = 0;
        uint32_t committedSize = 0, size = 0;
        std::vector<uint32_t> committed, chain;  // clusters: on disk, and as written
        std::vector<uint8_t> fresh;              // per chain index: a new cluster
        // Write-back window over chain indices [winFirst, winFirst + winCount).
        uint32_t winFirst = 0, winCount = 0;
        std::vector<uint8_t> win, winDirty;
    };
    struct Handle {
        Node* node = nullptr;
        uint64_t offset = 0;
        int access = 0;
    };

    FatVolume(std::unique_ptr<BlockDevice> dev, const FatGeometry& g);

    // Directories (fat_dir.cpp).
    int dirSectors(uint32_t dir, std::vector<uint32_t>* sectors);
    int scanDir(uint32_t dir, const std::function<bool(const Entry&)>& fn);
    int lookup(uint32_t dir, const std::string& name, Entry* e);
    int resolve(const std::string& path, Entry* e, bool* root);
    int resolveParent(const std::string& path, uint32_t* dir, std::string* leaf);
    int createEntry(uint32_t dir, const std::string& name, const uint8_t* proto, Entry* out);
    int removeEntry(const Entry& e);
    int readEntry(uint32_t dir, uint32_t index, uint8_t* raw);
    int updateEntry(uint32_t dir, uint32_t index, const std::function<void(uint8_t*)>& change);
    int extendDir(uint32_t dir);
    uint32_t allocCluster(uint32_t near);
    int freeChain(uint32_t first);
    int freeClusters(const std::vector<uint32_t>& clusters);
    int flushTable();

    // Files (fat_file.cpp).
    Node* nodeFor(const Entry& e);
    Handle* handle(int h);
    void release(Node* node);
    long readBytes(Node* n, uint64_t offset, uint8_t* out, size_t count);
    long writeBytes(Node* n, uint64_t offset, const uint8_t* data, size_t count);
    int prepareCluster(Node* n, uint32_t ci, uint32_t from, uint32_t to);
    int flushWindow(Node* n);
    int resize(Node* n, uint64_t length);
    int commit(Node* n);
    int commitEntry(Node* n);
    int copyCluster(uint32_t from, uint32_t to);
    int statNode(const Node* n, const uint8_t* raw, plat::Stat* st) const;

    // Disk checker (fat_check.cpp).
    int check(const std::string& name, const std::vector<std::string>& notes);
    class Checker;

    std::unique_ptr<BlockDevice> dev_;
    FatGeometry g_;
    FatTable fat_;
    uint32_t nextFree_ = 2;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<std::unique_ptr<Handle>> handles_;
    std::vector<std::string> repairs_;
};

}  // namespace fs
