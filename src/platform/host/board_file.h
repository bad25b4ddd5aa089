// A file of the board folder in which a device model keeps its state (the NOR
// chip's contents, for one). Models live above the platform and reach the
// host only through this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

class BoardFile {
  public:
    explicit BoardFile(std::string path) : path_(std::move(path)) {}
    ~BoardFile();
    BoardFile(const BoardFile&) = delete;
    BoardFile& operator=(const BoardFile&) = delete;

    // Length of the file; 0 when it does not exist yet.
    uint64_t size();
    // Reads up to n bytes at offset; the bytes read (0 past the end), or -1.
    long readAt(uint64_t offset, void* buffer, size_t n);
    // Writes all n bytes at offset, creating the file when needed.
    bool writeAt(uint64_t offset, const void* buffer, size_t n);
    // Grows the file (created when needed) to `length` bytes, its blocks
    // allocated and the new bytes zero; false when it cannot.
    bool allocate(uint64_t length);
    // The file's bytes from its start, `length` of them, mapped into memory
    // and shared with the file: a store reaches the file at once, also when
    // the process is killed. Only bytes inside the file may be touched.
    // nullptr when it cannot be mapped. The mapping lives as long as this.
    uint8_t* map(uint64_t length);
    const std::string& path() const { return path_; }

  private:
    bool openFile(bool create);
    std::string path_;
    int fd_ = -1;
    void* mapped_ = nullptr;
    uint64_t mappedLength_ = 0;
};

}  // namespace plat
