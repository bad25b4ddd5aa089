// The utilities menu's memory tools: the read/write command loop on the
// board's address map and the SDRAM test.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "boot/memory_command.h"
#include "boot/utilities.h"
#include "platform/platform.h"

namespace {

constexpr size_t kCommandLine = 80;  // 79 characters and the terminating zero

// Fields of a line: at most three matter, each at most a line long.
int splitFields(const char* line, char fields[3][kCommandLine]) {
    int n = 0;
    for (const char* p = line; *p && n < 3;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (!*p) break;
        size_t len = 0;
        while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
            if (len + 1 < kCommandLine) fields[n][len++] = *p;
            ++p;
        }
        fields[n++][len] = '\0';
    }
    return n;
}

bool parseNumber(const char* text, int base, uint64_t* value) {
    char* end = nullptr;
    if (!std::isxdigit(static_cast<unsigned char>(text[0]))) return false;
    *value = std::strtoull(text, &end, base);
    return end != text;
}

// Bus cycles of the command: where nothing answers, a read gives all ones
// and a write is dropped (the board itself would take a machine check).
uint8_t peek8(uint32_t address) {
    uint8_t v = 0xFF;
    return plat::busRead8(address, &v) ? v : 0xFF;
}

void dumpMemory(uint32_t address, uint64_t count) {
    plat::printf("         ");
    uint64_t columns = count < 16 ? (count == 0 ? 1 : count) : 16;
    for (uint64_t c = 0; c < columns; ++c) plat::printf("%1x  ", unsigned(c));
    char chars[17] = {};
    size_t used = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t at = uint32_t(address + i);
        if (i % 16 == 0) {
            plat::printf("%s", chars);
            used = 0;
            chars[0] = '\0';
            plat::printf("\n%08x ", unsigned(at));
        }
        uint8_t b = peek8(at);
        plat::printf("%02x ", b);
        chars[used++] = std::isalnum(b) ? char(b) : '-';
        chars[used] = '\0';
    }
    if (count % 16 != 0)
        for (uint64_t i = count % 16; i < 16; ++i) plat::printf("   ");
    plat::printf("%s\n", chars);
}

void store(uint32_t address, char size, uint32_t value) {
    switch (size) {
        case 'b':
        case 'B':
            plat::busWrite8(address, uint8_t(value));
            break;
        case 'w':
        case 'W':
            plat::busWrite16(address, uint16_t(value));
            break;
        case 'l':
        case 'L':
            plat::busWrite32(address, value);
            break;
        default:
            break;
    }
    plat::printf("\n");
}

// The SDRAM test's block: the largest free block the kernel reports, bounded
// so that a pass of bus cycles over it takes moments on the host, at the top
// of the loadable SDRAM just below the boot program's own area.
constexpr uint32_t kRamTestMaxBytes = 1u << 20;

uint32_t busRead32(uint32_t address) {
    uint32_t v = 0xFFFFFFFF;
    return plat::busRead32(address, &v) ? v : 0xFFFFFFFF;
}

void reportFailure(const char* title, uint32_t location, uint32_t wrote, uint32_t read) {
    plat::printf("%s", title);
    plat::printf("Location 0x%08x\n", unsigned(location));
    // The all-ones pattern of the aliasing test is reported in capitals.
    if (wrote == 0xFFFFFFFF)
        plat::printf("Wrote    0xFFFFFFFF\n");
    else
        plat::printf("Wrote    0x%08x\n", unsigned(wrote));
    plat::printf("Read     0x%08x\n", unsigned(read));
}

// Walking ones (or zeros) at the first word and at byte offsets 4 << k.
bool walkingTest(uint32_t base, uint32_t size, bool zeros) {
    plat::printf(zeros ? "SDRAM walking 0's test...\n" : "SDRAM walking 1's test...\n");
    for (uint64_t offset = 0; offset + 4 <= size; offset = offset == 0 ? 4 : offset * 2) {
        uint32_t at = base + uint32_t(offset);
        for (int b = 0; b < 32; ++b) {
            uint32_t pattern = zeros ? ~(1u << b) : 1u << b;
            plat::busWrite32(at, pattern);
            uint32_t got = busRead32(at);
            if (got != pattern) {
                reportFailure(
                    zeros ? "SDRAM walking 0's test failed.\n" : "SDRAM walking 1's test failed.\n",
                    at, pattern, got);
                return false;
            }
        }
    }
    return true;
}

bool aliasingTest(uint32_t base, uint32_t size) {
    plat::printf("SDRAM Address Aliasing test...\n");
    uint32_t words = size / 4;
    for (uint32_t i = 0; i < words; ++i) plat::busWrite32(base + 4 * i, 0);
    auto zeroExpected = [](uint32_t at, uint32_t got) {
        if (got == 0) return true;
        reportFailure("SDRAM Address Aliasing error.\n", at, 0, got);
        return false;
    };
    if (words > 0 && !zeroExpected(base, busRead32(base))) return false;
    for (uint32_t i = 0; i < words; ++i) {
        plat::busWrite32(base + 4 * i, 0xFFFFFFFF);
        uint32_t next = base + 4 * (i + 1);
        if (i + 1 < words && !zeroExpected(next, busRead32(next))) return false;
    }
    for (uint32_t i = 0; i < words; ++i) {
        uint32_t got = busRead32(base + 4 * i);
        if (got != 0xFFFFFFFF) {
            reportFailure("SDRAM Address Aliasing error.\n", base + 4 * i, 0xFFFFFFFF, got);
            return false;
        }
    }
    return true;
}

}  // namespace

MemoryCommand parseMemoryCommand(const char* line) {
    MemoryCommand cmd;
    char fields[3][kCommandLine];
    int n = splitFields(line, fields);
    if (n < 1) return cmd;
    char c = fields[0][0];
    if (c == 'q' || c == 'Q') {
        cmd.kind = MemoryCommand::Kind::Quit;
        return cmd;
    }
    uint64_t address = 0;
    if (n < 2 || !parseNumber(fields[1], 16, &address) || address > 0xFFFFFFFFu) return cmd;
    cmd.address = uint32_t(address);
    cmd.size = fields[0][1];
    bool read = c == 'r' || c == 'R';
    bool write = c == 'w' || c == 'W';
    if (!read && !write) {
        cmd.kind = MemoryCommand::Kind::Other;
        return cmd;
    }
    uint64_t third = 0;
    if (n < 3 || !parseNumber(fields[2], read ? 10 : 16, &third)) return cmd;
    if (read) {
        uint64_t room = (uint64_t(1) << 32) - cmd.address;
        cmd.count = third < room ? third : room;
        cmd.kind = MemoryCommand::Kind::Read;
    } else {
        cmd.value = uint32_t(third);
        cmd.kind = MemoryCommand::Kind::Write;
    }
    return cmd;
}

void memoryCommandLoop() {
    plat::printf("\n\nCommands...\n\nr/w(b/w/l)\n");
    plat::printf("Example: r 7c004000 10 \n");
    plat::printf("Example: wb 7c004000 ff \n");
    plat::printf("q to quit\n");
    for (;;) {
        plat::printf("> ");
        plat::fflush();
        char line[kCommandLine] = {};
        if (!plat::gets(line, sizeof line)) {
            plat::printf("\n\nError reading from stream!\nCommand aborted.\n");
            return;
        }
        MemoryCommand cmd = parseMemoryCommand(line);
        switch (cmd.kind) {
            case MemoryCommand::Kind::Quit:
                return;
            case MemoryCommand::Kind::Read:
                dumpMemory(cmd.address, cmd.count);
                break;
            case MemoryCommand::Kind::Write:
                store(cmd.address, cmd.size, cmd.value);
                break;
            default:
                break;
        }
    }
}

void SDRAMTest() {
    uint64_t largest = plat::memFindMax();
    uint32_t size = uint32_t(largest < kRamTestMaxBytes ? largest : kRamTestMaxBytes) & ~3u;
    plat::printf("Allocating memory of size 0x%08x...\n", unsigned(size));
    uint32_t base = plat::bootAreaStart() - size;
    // The block must be SDRAM that answers.
    uint8_t* block = size ? plat::busMemory(base, size) : nullptr;
    if (size && !block) {
        plat::printf("Could not allocate memory for the SDRAM test.\n\n");
        return;
    }
    for (uint32_t i = 0; i < size / 4; ++i) plat::busWrite32(base + 4 * i, 0);
    if (!walkingTest(base, size, false) || !walkingTest(base, size, true) ||
        !aliasingTest(base, size))
        return;
    plat::printf("SDRAM tests completed successfully.\n\n");
}
