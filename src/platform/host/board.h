// The simulated board on the host: one process-wide object that owns the
// stand-ins for the console, the clock, the flash disk, the processor
// registers and the address map that the device models are attached to.
// The host program installs a board backed by a folder and the real
// terminal; tests install a fresh one with a scripted console and a virtual
// clock. Installing a board installs its services under the platform
// interface and starts the boot routines' records afresh, as a power-on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/board_description.h"

namespace plat {

class Clock;
class ConsoleDevice;
class FlashDiskDriver;
class FolderDisk;
class AddressMap;

// How a non-returning operation ended the boot program. Thrown as this type
// (deliberately not derived from std::exception so that no generic handler
// swallows it); only the host program and tests catch it.
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
// Throws BoardStop{EndOfInput}: the host line's input has ended for good.
[[noreturn]] void endOfInput();

// Processor registers of the hand-off, as the simulation keeps them.
struct CpuRegisters {
    uint32_t msr = 0x00029200;
    uint32_t hid0 = 0;
    uint32_t l1csr1 = 0x00000001;  // instruction cache enabled
    int intLockLevel = 0;
    int taskLockLevel = 0;
    int cacheInvalidates = 0;
    uint32_t flushedStart = 0, flushedBytes = 0;  // the last data cache flush
};

class Board {
  public:
    Board(std::unique_ptr<ConsoleDevice> console, std::unique_ptr<Clock> clock,
          std::string boardDir);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    ConsoleDevice& console() { return *console_; }
    Clock& clock() { return *clock_; }
    // The flash disk kept as a folder (the default driver of the flash disk).
    FolderDisk& disk() { return *folder_; }
    // The driver the flash disk is mounted with: the folder, or one installed
    // by useFlashDiskDriver (the FAT file system on the translation layer).
    FlashDiskDriver& flashDisk() { return *flashDisk_; }
    void useFlashDiskDriver(std::unique_ptr<FlashDiskDriver> driver);
    // The processor's view of the board: the device models that the board's
    // set-up attaches (SDRAM, NOR window, configuration registers).
    AddressMap& map() { return *map_; }
    CpuRegisters& regs() { return *regs_; }
    const std::string& dir() const { return dir_; }

    // Execute a handed-off image that is a program for this host.
    bool runFirmware = false;
    // The switch's own board; tests change it to drive another board's paths.
    BoardDescription description;

  private:
    std::unique_ptr<ConsoleDevice> console_;
    std::unique_ptr<Clock> clock_;
    std::string dir_;
    std::unique_ptr<FolderDisk> folder_;
    std::unique_ptr<FlashDiskDriver> installedDisk_;
    FlashDiskDriver* flashDisk_;
    std::unique_ptr<AddressMap> map_;
    std::unique_ptr<CpuRegisters> regs_;
};

// The installed board.
Board& board();
bool boardInstalled();
void installBoard(std::unique_ptr<Board> b);
std::unique_ptr<Board> uninstallBoard();

// A note about the simulated board on the host's standard error (never on
// the board console).
void hostNote(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Test control: the n-th malloc from now (1 = the next one) finds no memory.
void failMallocAt(long n);

}  // namespace plat
