// One line of the utilities menu's memory command: "r 7c004000 10" reads 10
// bytes, "wb 7c004000 ff" stores a byte ("ww" 16 bits, "wl" 32 bits), "q"
// quits. Kept apart from the menu so that any line can be tried on it alone.
#pragma once

#include <cstdint>

struct MemoryCommand {
    enum class Kind {
        Ignored,  // no command or no address: the prompt comes again
        Quit,
        Read,
        Write,
        Other,  // an unknown command: nothing happens
    };
    Kind kind = Kind::Ignored;
    char size = 0;         // the command's second character (b, w, l for a write)
    uint32_t address = 0;  // hexadecimal field
    uint64_t count = 0;    // read: decimal byte count, at most up to the end of the address space
    uint32_t value = 0;    // write: hexadecimal value (its low 32 bits)
};

// Splits the line at blanks and decodes its fields. Never reads past the
// terminating zero.
MemoryCommand parseMemoryCommand(const char* line);
