#include "support/fuzz_board.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "bootflash/bootflash.h"
#include "platform/host/board.h"
#include "sim/board_devices.h"
#include "support/board_setup.h"

namespace stkfuzz {

namespace fs = std::filesystem;

namespace {

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

// The board's console: passes everything to the scripted console of the
// current input, so that each input starts with its own queue and record.
class InputConsole : public plat::ConsoleDevice {
  public:
    std::unique_ptr<plat::ScriptedConsole> current;

    int waitReadable(int64_t timeoutUs) override { return current->waitReadable(timeoutUs); }
    long read(void* buf, size_t n) override { return current->read(buf, n); }
    long write(const void* buf, size_t n) override { return current->write(buf, n); }
    int options() const override { return current->options(); }
    int setOptions(int opts) override { return current->setOptions(opts); }
    int setBaud(int bps) override { return current->setBaud(bps); }
    int getBaud(int* bps) override { return current->getBaud(bps); }
    int flush(bool input, bool output) override { return current->flush(input, output); }
};

plat::VirtualClock* boardClock = nullptr;
InputConsole* boardConsole = nullptr;

// One board for the whole process: making one (its 256 MiB SDRAM, its NOR
// flash, its devices) costs far more than most inputs.
void installBoardOnce() {
    if (boardConsole) return;
    const std::string& folder = boardFolder();
    auto clock = std::make_unique<plat::VirtualClock>();
    auto con = std::make_unique<InputConsole>();
    boardClock = clock.get();
    boardConsole = con.get();
    boardConsole->current = std::make_unique<plat::ScriptedConsole>(*boardClock);
    plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clock), folder));
    attachBoardDevices(plat::board());
    if (!stktest::formatAndEnterFiles()) {
        std::fprintf(stderr, "stkfuzz: the board's flash disk cannot be set up\n");
        std::abort();
    }
}

}  // namespace

plat::ScriptedConsole& freshBoard() {
    installBoardOnce();
    // The files of the last input go; the process-wide records of the boot
    // routines start afresh, as after a power-on.
    std::error_code ec;
    const std::string files = boardFolder() + "/DskVol/files";
    for (const auto& entry : fs::directory_iterator(boardFolder() + "/DskVol", ec))
        if (entry.path() != files) fs::remove_all(entry.path(), ec);
    for (const auto& entry : fs::directory_iterator(files, ec)) fs::remove_all(entry.path(), ec);
    boardConsole->current = std::make_unique<plat::ScriptedConsole>(*boardClock);
    plat::resetProcessState();
    Flash_Init();
    if (plat::chdir("/DskVol/files") != 0) {
        std::fprintf(stderr, "stkfuzz: no working directory on the flash disk\n");
        std::abort();
    }
    return *boardConsole->current;
}

plat::VirtualClock& clock() {
    return *boardClock;
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
        std::string out = boardConsole->current->output();
        std::fprintf(stderr, "--- console at %llu us:\n", (unsigned long long)boardClock->nowUs());
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
