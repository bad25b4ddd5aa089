#include "platform/host/board_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

BoardFile::~BoardFile() {
    if (mapped_) ::munmap(mapped_, mappedLength_);
    if (fd_ >= 0) ::close(fd_);
}

bool BoardFile::openFile(bool create) {
    if (fd_ >= 0) return true;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    return fd_ >= 0;
}

uint64_t BoardFile::size() {
    if (!openFile(false)) return 0;
    struct stat st;
    return ::fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : 0;
}

long BoardFile::readAt(uint64_t offset, void* buffer, size_t n) {
    if (!openFile(false)) return errno == ENOENT ? 0 : -1;
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd_, static_cast<char*>(buffer) + done, n - done, off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += size_t(r);
    }
    return long(done);
}

bool BoardFile::writeAt(uint64_t offset, const void* buffer, size_t n) {
    if (!openFile(true)) return false;
    size_t done = 0;
    while (done < n) {
        ssize_t w =
            ::pwrite(fd_, static_cast<const char*>(buffer) + done, n - done, off_t(offset + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += size_t(w);
    }
    return true;
}

bool BoardFile::allocate(uint64_t length) {
    return openFile(true) && ::posix_fallocate(fd_, 0, off_t(length)) == 0;
}

uint8_t* BoardFile::map(uint64_t length) {
    if (!mapped_ && openFile(true)) {
        void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (p != MAP_FAILED) mapped_ = p, mappedLength_ = length;
    }
    return static_cast<uint8_t*>(mapped_);
}

}  // namespace plat
