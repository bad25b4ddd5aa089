// Files of the host that stkimage reads and writes.
#include "host_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace stkimage {

namespace fs = std::filesystem;

// Largest input file read: an image is at most 16 MiB, and a firmware that
// compresses to that is refused later with its own reason.
constexpr uint64_t kMaxInputBytes = 256ull << 20;

Bytes readInput(const std::string& path, const char* what) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw BuildError{std::string("cannot read ") + what + " " + path +
                         (fs::exists(path, ec) ? ": not a regular file" : ": no such file")};
    uint64_t size = fs::file_size(path, ec);
    if (ec) throw BuildError{std::string("cannot read ") + what + " " + path + ": " + ec.message()};
    if (size > kMaxInputBytes)
        throw BuildError{std::string(what) + " " + path + " is too large (" + std::to_string(size) +
                         " bytes)"};
    std::ifstream in(path, std::ios::binary);
    Bytes data(size);
    if (!in || !in.read(reinterpret_cast<char*>(data.data()), std::streamsize(size)))
        throw BuildError{std::string("cannot read ") + what + " " + path};
    return data;
}

// Writes under a temporary name next to the target and renames it into place,
// so a failed run never leaves a half-written image. A link is written through
// to its target, an existing file keeps its permissions, and a device, a
// folder or one of the input files is refused.
void writeOutput(const std::string& path, const Bytes& data,
                 const std::vector<std::string>& inputs) {
    if (path.empty()) throw BuildError{"cannot write \"\": an empty path names no file"};
    std::error_code ec;
    fs::path target = fs::is_symlink(path, ec) ? fs::weakly_canonical(path, ec) : fs::path(path);
    fs::file_status st = fs::status(target, ec);
    if (fs::is_directory(st)) throw BuildError{"cannot write " + path + ": it is a folder"};
    if (fs::exists(st) && !fs::is_regular_file(st))
        throw BuildError{"cannot write " + path + ": not a regular file"};
    for (const std::string& in : inputs) {
        if (fs::exists(st) && fs::equivalent(target, in, ec))
            throw BuildError{"cannot write " + path + ": it is the input file " + in};
    }
    fs::path tmp = target;
    tmp += ".partial-" + std::to_string(::getpid());
    {
        errno = 0;
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (out)
            out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        out.flush();
        if (!out) {
            std::string why = errno ? std::strerror(errno) : "write failed";
            fs::remove(tmp, ec);
            throw BuildError{"cannot write " + path + ": " + why};
        }
    }
    if (fs::exists(st)) fs::permissions(tmp, st.permissions(), ec);
    fs::rename(tmp, target, ec);
    if (ec) {
        fs::remove(tmp, ec);
        throw BuildError{"cannot write " + path + ": " + ec.message()};
    }
}

}  // namespace stkimage
