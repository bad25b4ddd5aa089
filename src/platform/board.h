// The simulated board: one process-wide object that owns the stand-ins for the
// console, the flash disk, the clock, the SDRAM and the processor registers.
// The host runner installs a board backed by a folder and the real terminal;
// tests install a fresh one with a scripted console and a virtual clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace plat {

class Clock;
class ConsoleDevice;
class FlashDisk;
class Ram;
class AddressMap;
struct CpuRegisters;

// How a non-returning operation ended the boot program. Thrown as this type
// (deliberately not derived from std::exception so that no generic handler
// swallows it); only main() and tests catch it.
struct BoardStop {
    enum class Kind {
        Reset,       // sysReboot: the board power-cycles
        Halt,        // the task loops forever (failed mount)
        Handoff,     // control handed to a loaded image
        EndOfInput,  // the console input ended (host and scripted consoles)
        PowerLoss,   // a fault injection cut the power in the middle of an operation
    };
    explicit BoardStop(Kind k) : kind(k) {}
    Kind kind;
    uint32_t entry = 0;        // Handoff: entry address
    int startType = 0;         // Handoff: the integer argument handed to the image
    uint32_t loadedBytes = 0;  // Handoff: bytes placed in memory
    std::string note;
};

const char* boardStopName(BoardStop::Kind kind);

class Board {
  public:
    Board(std::unique_ptr<ConsoleDevice> console, std::unique_ptr<Clock> clock,
          std::string boardDir);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    ConsoleDevice& console() { return *console_; }
    Clock& clock() { return *clock_; }
    FlashDisk& disk() { return *disk_; }
    Ram& ram() { return *ram_; }
    // The processor's view of the board: SDRAM from 0 and the device models
    // that the board's set-up attaches (NOR window, configuration registers).
    AddressMap& map() { return *map_; }
    CpuRegisters& regs() { return *regs_; }
    const std::string& dir() const { return dir_; }

    // Host only: execute a handed-off image that is a program for this host.
    bool runFirmware = false;

  private:
    std::unique_ptr<ConsoleDevice> console_;
    std::unique_ptr<Clock> clock_;
    std::string dir_;
    std::unique_ptr<FlashDisk> disk_;
    std::unique_ptr<Ram> ram_;
    std::unique_ptr<AddressMap> map_;
    std::unique_ptr<CpuRegisters> regs_;
};

// The installed board. Installing a board runs every registered reset hook, so
// the process-wide records of the boot routines start afresh (as after a
// power-on).
Board& board();
bool boardInstalled();
void installBoard(std::unique_ptr<Board> b);
std::unique_ptr<Board> uninstallBoard();

// Runs every reset hook (also done by installBoard). main() calls it before a
// simulated power-cycle re-runs start-up on the same board.
void resetProcessState();

// Registers a routine that clears a module's process-wide state.
struct ResetHook {
    explicit ResetHook(std::function<void()> fn);
};

}  // namespace plat

// Declares a reset hook in a source file: STK_RESET_HOOK { state = {}; }
#define STK_RESET_HOOK_CAT2(a, b) a##b
#define STK_RESET_HOOK_CAT(a, b) STK_RESET_HOOK_CAT2(a, b)
#define STK_RESET_HOOK                                                       \
    static void STK_RESET_HOOK_CAT(stkResetFn_, __LINE__)();                 \
    static ::plat::ResetHook STK_RESET_HOOK_CAT(                             \
        stkResetHook_, __LINE__)(STK_RESET_HOOK_CAT(stkResetFn_, __LINE__)); \
    static void STK_RESET_HOOK_CAT(stkResetFn_, __LINE__)()
