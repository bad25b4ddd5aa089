// The utilities menu's memory command: arbitrary lines through the parser on
// their own, then the command loop carrying them out on the board's address
// map (SDRAM, the NOR chip, the I2C controller registers, nothing at all).
#include <algorithm>
#include <cstring>
#include <string>

#include "boot/memory_command.h"
#include "boot/utilities.h"
#include "support/fuzz_board.h"

namespace {

// A read prints three characters a byte: long dumps add nothing but time.
constexpr uint64_t kLongestDump = 4096;
constexpr size_t kLineLimit = 79;  // what the loop's line input takes at most

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string script;
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find_first_of("\r\n", start);  // either ends a console line
        if (end == std::string::npos) end = input.size();
        std::string line = input.substr(start, std::min(end - start, kLineLimit));
        start = end + 1;
        line.erase(std::find(line.begin(), line.end(), '\0'), line.end());
        MemoryCommand cmd = parseMemoryCommand(line.c_str());
        if (cmd.kind == MemoryCommand::Kind::Read) {
            FUZZ_CHECK(cmd.count <= (uint64_t(1) << 32) - cmd.address);
            if (cmd.count > kLongestDump) continue;
        }
        if (cmd.kind == MemoryCommand::Kind::Quit) break;
        script += line + "\r";
    }
    plat::ScriptedConsole& con = stkfuzz::freshBoard();
    con.send(script + "q\r");
    stkfuzz::runOnBoard([] { memoryCommandLoop(); });
    return 0;
}
