#include "platform/host/board_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "platform/clock.h"
#include "platform/host/board.h"

namespace plat {

namespace {
constexpr int64_t kVirtualOrigin = 1262304000;  // 2010-01-01 00:00:00 UTC

std::string boardPath(const char* name) {
    return board().dir() + "/" + name;
}
}  // namespace

bool readBoardFile(const char* name, std::vector<uint8_t>& bytes) {
    int fd = ::open(boardPath(name).c_str(), O_RDONLY);
    if (fd < 0) return false;
    bytes.clear();
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return true;
}

bool writeBoardFile(const char* name, const uint8_t* bytes, size_t size) {
    ::mkdir(board().dir().c_str(), 0755);
    std::string path = boardPath(name);
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += size_t(n);
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

int64_t referenceSeconds() {
    Clock& clock = board().clock();
    if (clock.isVirtual()) return kVirtualOrigin + int64_t(clock.nowUs() / 1000000u);
    return int64_t(::time(nullptr));
}

}  // namespace plat
