#include "platform/board.h"

#include <vector>

#include "platform/address_map.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/flashdisk.h"
#include "platform/kernel.h"

namespace plat {

namespace {
std::unique_ptr<Board>& current() {
    static std::unique_ptr<Board> b;
    return b;
}
std::vector<std::function<void()>>& hooks() {
    static std::vector<std::function<void()>> h;
    return h;
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

Board::Board(std::unique_ptr<ConsoleDevice> console, std::unique_ptr<Clock> clock,
             std::string boardDir)
    : console_(std::move(console)),
      clock_(std::move(clock)),
      dir_(std::move(boardDir)),
      disk_(std::make_unique<FlashDisk>(dir_)),
      ram_(std::make_unique<Ram>()),
      map_(std::make_unique<AddressMap>()),
      regs_(std::make_unique<CpuRegisters>()) {
    map_->attach(kSdramBase, kSdramSize, ram_.get(), "SDRAM");
}

Board::~Board() = default;

Board& board() {
    return *current();
}
bool boardInstalled() {
    return current() != nullptr;
}

void installBoard(std::unique_ptr<Board> b) {
    current() = std::move(b);
    resetProcessState();
}

std::unique_ptr<Board> uninstallBoard() {
    return std::move(current());
}

void resetProcessState() {
    for (auto& fn : hooks()) fn();
}

ResetHook::ResetHook(std::function<void()> fn) {
    hooks().push_back(std::move(fn));
}

}  // namespace plat
