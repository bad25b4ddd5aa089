#include "support/fuzz_board.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "board/board_devices.h"
#include "bootflash/bootflash.h"

namespace stkfuzz {

namespace fs = std::filesystem;

namespace {

plat::VirtualClock* currentClock = nullptr;
plat::ScriptedConsole* currentConsole = nullptr;

void removeBoardFolder();

// The folder is made on first use, in memory when the host has /dev/shm
// (every input rewrites files), and removed when the process ends.
const std::string& boardFolder() {
    static const std::string folder = [] {
        std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
        std::string templ = base + "/stkfuzz-XXXXXX";
        if (!::mkdtemp(templ.data())) {
            std::perror("stkfuzz: mkdtemp");
            std::abort();
        }
        return templ;
    }();
    static const bool cleanupRegistered = (std::atexit(removeBoardFolder), true);
    (void)cleanupRegistered;
    return folder;
}

void removeBoardFolder() {
    std::error_code ec;
    fs::remove_all(boardFolder(), ec);
}

std::string hostPath(const char* name) {
    return boardFolder() + "/DskVol/files/" + name;
}

}  // namespace

plat::ScriptedConsole& freshBoard() {
    const std::string& folder = boardFolder();
    static bool formatted = false;
    // Device state kept in board files (EEPROMs, clock chip) starts afresh;
    // the NOR flash keeps the format mark of the flash disk.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.path().filename() != "norflash.bin") fs::remove_all(entry.path(), ec);

    auto clock = std::make_unique<plat::VirtualClock>();
    auto con = std::make_unique<plat::ScriptedConsole>(*clock);
    currentClock = clock.get();
    currentConsole = con.get();
    plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clock), folder));
    attachBoardDevices(plat::board());
    Flash_Init();
    if (!formatted) formatted = plat::board().disk().format(nullptr) == 0;
    fs::create_directories(folder + "/DskVol/files", ec);
    if (plat::board().disk().mount() != 0 || plat::chdir("/DskVol/files") != 0) {
        std::fprintf(stderr, "stkfuzz: the board's flash disk cannot be set up\n");
        std::abort();
    }
    return *currentConsole;
}

plat::VirtualClock& clock() {
    return *currentClock;
}

void writeFile(const char* name, const uint8_t* data, size_t size) {
    std::ofstream(hostPath(name), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

std::string readFile(const char* name) {
    std::ostringstream ss;
    ss << std::ifstream(hostPath(name), std::ios::binary).rdbuf();
    return ss.str();
}

void runOnBoard(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const plat::BoardStop&) {
    }
    // STKFUZZ_TRACE=1 shows what the board printed, to see what an input does
    // (run the target on that one input).
    static const bool trace = std::getenv("STKFUZZ_TRACE") != nullptr;
    if (trace) {
        std::string out = currentConsole->output();
        std::fprintf(stderr, "--- console at %llu us:\n",
                     (unsigned long long)currentClock->nowUs());
        for (unsigned char c : out) {
            if (c >= 0x20 && c < 0x7F)
                std::fputc(c, stderr);
            else if (c == '\n')
                std::fputs("\n", stderr);
            else
                std::fprintf(stderr, "<%02X>", c);
        }
        std::fputs("\n", stderr);
    }
}

void propertyFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
    std::abort();
}

}  // namespace stkfuzz
