#include "platform/host/board.h"

#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/host/address_map.h"
#include "platform/host/folder_volume.h"
#include "platform/services.h"

namespace plat {

namespace {
std::unique_ptr<Board>& current() {
    static std::unique_ptr<Board> b;
    return b;
}

void installServices(Board* b) {
    Services& s = services();
    s.console = b ? &b->console() : nullptr;
    s.clock = b ? &b->clock() : nullptr;
    s.flashDisk = b ? &b->flashDisk() : nullptr;
}
}  // namespace

const char* boardStopName(BoardStop::Kind kind) {
    switch (kind) {
        case BoardStop::Kind::Reset:
            return "reset";
        case BoardStop::Kind::Halt:
            return "halt";
        case BoardStop::Kind::Handoff:
            return "hand-off";
        case BoardStop::Kind::EndOfInput:
            return "end of console input";
        case BoardStop::Kind::PowerLoss:
            return "power loss";
    }
    return "?";
}

void endOfInput() {
    BoardStop stop{BoardStop::Kind::EndOfInput};
    throw stop;
}

Board::Board(std::unique_ptr<ConsoleDevice> console, std::unique_ptr<Clock> clock,
             std::string boardDir)
    : console_(std::move(console)),
      clock_(std::move(clock)),
      dir_(std::move(boardDir)),
      folder_(std::make_unique<FolderDisk>(dir_)),
      flashDisk_(folder_.get()),
      map_(std::make_unique<AddressMap>()),
      regs_(std::make_unique<CpuRegisters>()) {}

Board::~Board() = default;

void Board::useFlashDiskDriver(std::unique_ptr<FlashDiskDriver> driver) {
    installedDisk_ = std::move(driver);
    flashDisk_ = installedDisk_ ? installedDisk_.get() : folder_.get();
    if (current().get() == this) services().flashDisk = flashDisk_;
}

Board& board() {
    return *current();
}
const BoardDescription& boardDescription() {
    return current()->description;
}
bool boardInstalled() {
    return current() != nullptr;
}

void installBoard(std::unique_ptr<Board> b) {
    // The old board's volumes and descriptors go before its objects do.
    unmountAllVolumes();
    current() = std::move(b);
    installServices(current().get());
    resetProcessState();
}

std::unique_ptr<Board> uninstallBoard() {
    unmountAllVolumes();
    installServices(nullptr);
    return std::move(current());
}

void hostNote(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("stkboot: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::fflush(stderr);
}

}  // namespace plat
