// The menus' line input: option numbers and yes/no answers read from
// arbitrary keystrokes, backspaces and line ends included.
#include <string>

#include "boot/boot.h"
#include "support/fuzz_board.h"

// First byte: even reads option numbers, odd reads confirmations, until the
// keystrokes run out. The rest is what the operator types.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    plat::ScriptedConsole& con = stkfuzz::freshBoard();
    con.send(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    const bool confirmations = data[0] & 1;
    stkfuzz::runOnBoard([&] {
        for (;;) {
            int value = confirmations ? get_confirmation() : get_menu_option();
            FUZZ_CHECK(value >= 0 && value <= 255);
        }
    });
    return 0;
}
