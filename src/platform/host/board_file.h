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
    const std::string& path() const { return path_; }

  private:
    bool openFile(bool create);
    std::string path_;
    int fd_ = -1;
};

}  // namespace plat
