// Host-runner code: what happens around the simulated board. It talks to the
// host directly (files of the host, exec) where the boot routines would go
// through the platform layer.
#include "program/host/host_run.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/host/address_map.h"
#include "platform/host/board.h"
#include "platform/host/folder_volume.h"
#include "platform/platform.h"

extern char** environ;

namespace stkhost {

namespace {

constexpr const char* kDemoImage = "demo/image1";  // next to the stkboot binary
constexpr const char* kDemoTarget = "/DskVol/files/image1";

#if defined(__x86_64__)
constexpr uint16_t kHostMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t kHostMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr uint16_t kHostMachine = EM_386;
#else
constexpr uint16_t kHostMachine = EM_NONE;
#endif
constexpr unsigned char kHostClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kHostData = ELFDATA2LSB;
#else
constexpr unsigned char kHostData = ELFDATA2MSB;
#endif

// An executable ELF file for this machine, or a script with an interpreter line.
bool isHostProgram(const uint8_t* p, size_t n) {
    if (n >= 2 && p[0] == '#' && p[1] == '!') return true;
    if (n < EI_NIDENT + 4) return false;
    if (std::memcmp(p, ELFMAG, SELFMAG) != 0) return false;
    if (p[EI_CLASS] != kHostClass || p[EI_DATA] != kHostData) return false;
    auto half = [&](size_t at) {
        return kHostData == ELFDATA2LSB ? uint16_t(p[at] | p[at + 1] << 8)
                                        : uint16_t(p[at] << 8 | p[at + 1]);
    };
    uint16_t type = half(EI_NIDENT);
    uint16_t machine = half(EI_NIDENT + 2);
    return (type == ET_EXEC || type == ET_DYN) && machine == kHostMachine &&
           kHostMachine != EM_NONE;
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

// The operational code's terminal: a pseudo-terminal of its own, with the
// ordinary line discipline (echo, line editing, CR LF on output, Ctrl-C),
// whose far side is carried to and from the console line byte for byte, as
// the board's UART would carry it. Returns the program's exit status.
int runOnConsole(int exe, char* const argv[]) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* slave = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                            ? ::ptsname(master)
                            : nullptr;
    if (!slave) {
        plat::hostNote("cannot open a terminal for the firmware: %s", std::strerror(errno));
        return 1;
    }
    std::string slavePath = slave;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    if (pid == 0) {
        // A session of its own, with the terminal as its controlling one.
        ::setsid();
        int tty = ::open(slavePath.c_str(), O_RDWR);
        if (tty < 0) ::_exit(127);
        for (int fd = 0; fd < 3; ++fd) ::dup2(tty, fd);
        if (tty > 2) ::close(tty);
        ::fexecve(exe, argv, environ);
        ::_exit(127);
    }
    ::close(exe);
    // Our own descriptor of the terminal keeps the master from a hang-up
    // until the program has opened it.
    int hold = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    plat::ConsoleDevice& con = plat::board().console();
    con.setOptions(plat::OPT_RAW);
    bool input = true, exited = pid < 0;
    int status = 0;
    char buf[4096];
    for (;;) {
        struct pollfd p {
            master, POLLIN, 0
        };
        ssize_t n = ::poll(&p, 1, 20) == 1 ? ::read(master, buf, sizeof buf) : 0;
        if (n > 0) con.write(buf, size_t(n));
        // Once the program has ended, what it wrote is read to the end.
        if (exited && n <= 0) break;
        exited = exited || ::waitpid(pid, &status, WNOHANG) == pid;
        try {
            while (input && con.waitReadable(0) == 1) {
                long got = con.read(buf, sizeof buf);
                if (got > 0 && ::write(master, buf, size_t(got)) < 0) input = false;
            }
        } catch (const plat::BoardStop&) {
            // The console's input ended: the program reads the end of its input.
            input = false;
            char eof = '\x04';
            [[maybe_unused]] ssize_t w = ::write(master, &eof, 1);
        }
    }
    con.drain();
    ::close(hold);
    ::close(master);
    return pid < 0 ? 1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Puts the image in a private temporary file and runs it on the console;
// returns its exit status.
int runImage(const uint8_t* image, size_t n, int startType) {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/stkfirmware-XXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd < 0) {
        plat::hostNote("cannot create a file for the firmware: %s", std::strerror(errno));
        return 1;
    }
    bool ok = ::fchmod(fd, 0700) == 0 && writeAll(fd, image, n);
    ok = ::close(fd) == 0 && ok;
    // Executed through a read-only descriptor of the already removed file, so
    // nothing is left behind and nobody can swap the file in between.
    int exe = ok ? ::open(path.c_str(), O_RDONLY) : -1;
    ::unlink(path.c_str());
    if (exe < 0) {
        plat::hostNote("cannot store the firmware in %s", path.c_str());
        return 1;
    }
    char arg0[] = "stkfirmware";
    std::string arg1 = std::to_string(startType);
    char* argv[] = {arg0, arg1.data(), nullptr};
    return runOnConsole(exe, argv);
}

std::string executableDir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, size_t(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool readHostFile(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t k = ::read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) {
            ::close(fd);
            return false;
        }
        if (k == 0) break;
        out.append(buf, size_t(k));
    }
    ::close(fd);
    return true;
}

// Writes a board file through the flash disk, as a load over the console would.
bool writeBoardFile(const char* name, const std::string& bytes) {
    int fd = plat::open(name, plat::kOpenWrite | plat::kOpenCreate | plat::kOpenTrunc, 0644);
    if (fd < 0) return false;
    bool ok = plat::write(fd, bytes.data(), bytes.size()) == long(bytes.size());
    ok = plat::close(fd) == 0 && ok;
    if (!ok) plat::unlink(name);
    return ok;
}

}  // namespace

void powerCycle() {
    plat::board().regs() = plat::CpuRegisters{};
    plat::unmountAllVolumes();
    plat::resetProcessState();
}

int runHandedOffImage(const plat::BoardStop& stop) {
    plat::hostNote(
        "hand-off to entry 0x%08x with start type %d (%u bytes loaded); the simulation has ended",
        stop.entry, stop.startType, stop.loadedBytes);
    if (!plat::board().runFirmware) return 0;
    const uint8_t* image = plat::board().map().memory(stop.entry, stop.loadedBytes);
    if (!image || stop.loadedBytes == 0 || !isHostProgram(image, stop.loadedBytes)) {
        plat::hostNote("the loaded image is no program for this host; not run");
        return 0;
    }
    static const char kHandOver[] =
        "\r\nstkboot: handing the console to the operational code; the simulation ends when it "
        "does\r\n";
    plat::board().console().setOptions(plat::OPT_RAW);
    plat::board().console().write(kHandOver, sizeof kHandOver - 1);
    return runImage(image, stop.loadedBytes, stop.startType);
}

bool demoImageFound(std::string* reason) {
    std::string source = executableDir() + "/" + kDemoImage;
    if (::access(source.c_str(), R_OK) == 0) return true;
    *reason = "demo firmware " + source + " not found (build the demo_image target)";
    return false;
}

bool seedDemoBoard() {
    std::string source = executableDir() + "/" + kDemoImage;
    std::string image;
    if (!readHostFile(source, image)) {
        plat::hostNote("cannot read the demo firmware %s", source.c_str());
        return false;
    }
    // A fresh board is formatted here rather than by start-up: start-up would
    // format it anyway, and the image has to be on the disk before it looks.
    // A board that already has a volume keeps it as it is.
    bool ok = plat::usrTffsConfig(0, 0, "/DskVol/") == 0;
    if (!ok && plat::tffsDevFormat(0, nullptr) != 0) {
        plat::hostNote("cannot format the flash disk of the demo board");
        return false;
    }
    ok = ok || plat::usrTffsConfig(0, 0, "/DskVol/") == 0;
    plat::Stat st;
    if (ok) {
        plat::mkdir("/DskVol/files");
        if (plat::stat(kDemoTarget, &st) != 0) {
            ok = writeBoardFile(kDemoTarget, image);
            if (ok) plat::hostNote("demo firmware placed as image1");
        }
    }
    // Start-up mounts the disk itself, as after power-on.
    plat::unmountAllVolumes();
    if (!ok) plat::hostNote("cannot place the demo firmware on the board");
    return ok;
}

void adoptPreparedDisk() {
    plat::FolderDisk& disk = plat::board().disk();
    DIR* volume = ::opendir(disk.hostRoot().c_str());
    bool holdsFiles = false;
    while (volume && !holdsFiles) {
        struct dirent* e = ::readdir(volume);
        if (!e) break;
        holdsFiles = std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
    }
    if (volume) ::closedir(volume);
    if (!holdsFiles || disk.formatted()) return;
    if (disk.adoptFiles() == 0)
        plat::hostNote("the flash disk in %s was prepared by hand: formatted, keeping its files",
                       plat::board().dir().c_str());
}

bool prepareBoardFolder(const std::string& dir, bool folderVolume, std::string* reason,
                        bool* fresh) {
    if (dir.empty()) {
        *reason = "an empty path names no folder";
        return false;
    }
    struct stat st;
    *fresh = false;
    if (::stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || ::mkdir(dir.c_str(), 0755) != 0) {
            *reason = std::strerror(errno);
            return false;
        }
        *fresh = true;
    } else if (!S_ISDIR(st.st_mode)) {
        *reason = "not a folder";
        return false;
    }
    // The flash disk's volume folder must be creatable there.
    std::string volume = folderVolume ? dir + "/DskVol" : dir;
    if (folderVolume && ::mkdir(volume.c_str(), 0755) != 0 && errno != EEXIST) {
        *reason = std::strerror(errno);
        return false;
    }
    if (::access(dir.c_str(), W_OK) != 0 || ::access(volume.c_str(), W_OK) != 0) {
        *reason = "not writable";
        return false;
    }
    // The board's own files are written in place: a link among them would
    // carry the board's writes out of its folder.
    for (const char* name : {"norflash.bin", "ds1338.bin", "vpd_eeprom.bin", ".lock"}) {
        if (::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            *reason = std::string(name) + " is a symbolic link";
            return false;
        }
    }
    if (::stat((dir + "/norflash.bin").c_str(), &st) != 0) *fresh = true;
    return true;
}

bool lockBoardFolder(const std::string& dir, std::string* reason) {
    std::string path = dir + "/.lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *reason = "cannot use board folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[24] = {};
        long got = ::pread(fd, pid, sizeof pid - 1, 0);
        pid[got > 0 ? got : 0] = '\0';
        *reason =
            "board folder " + dir + " is in use (process " + std::to_string(std::atol(pid)) + ")";
        ::close(fd);
        return false;
    }
    // The descriptor stays open (and locked) until the program ends.
    std::string text = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) < 0) {
        *reason = "cannot use board folder " + dir + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    return true;
}

}  // namespace stkhost
