// The event log: log2.bin of arbitrary bytes set up at start-up and rendered
// as asciilog.bin, and the walk over an arbitrary memory image of the log.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "eventlog/eventlog.h"
#include "eventlog/retrieve.h"
#include "support/fuzz_board.h"

namespace {

// Every rendered line fits its buffer and ends in CR LF.
void checkLine(const char* line) {
    size_t length = strnlen(line, kEventLogLineLen);
    FUZZ_CHECK(length < size_t(kEventLogLineLen));
    FUZZ_CHECK(length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n');
}

// The walk from the newest record ends after at most one pass.
void walk(const uint8_t* base) {
    char line[kEventLogLineLen];
    const uint8_t* cursor = nullptr;
    uint32_t steps = 0;
    do {
        std::memset(line, 0, sizeof line);
        cursor = Zq_event_log_get_next(base, cursor, line);
        if (cursor) checkLine(line);
        FUZZ_CHECK(++steps <= eventLogRecordCount() + 1);
    } while (cursor);
}

}  // namespace

// First byte: bit 0 switches the log off (mode 6); bits 1 to 7 pick the log
// size, from the board's 16384 bytes down to a few records (and sizes that
// are not whole records). The rest is log2.bin.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint32_t mode = (data[0] & 1) ? kLogModeOff : 5;
    const uint32_t sizeChoice = data[0] >> 1;
    const uint32_t logSize = sizeChoice == 0 ? 16384 : sizeChoice * 29;
    stkfuzz::freshBoard();
    stkfuzz::writeFile(kEventLogFileName, data + 1, size - 1);
    stkfuzz::runOnBoard([&] {
        FUZZ_CHECK(Log_Init(logSize, nullptr, mode, 2, 7) == 0);
        walk(nullptr);
        FUZZ_CHECK(convert_event_log_to_ascii() == 0);
        std::string text = stkfuzz::readFile(kEventLogTextFile);
        FUZZ_CHECK(!text.empty() && text.size() % 1024 == 0);

        // The walk over records as they are, consistent or not.
        std::vector<uint8_t> image(eventLogRecordCount() * kLogRecordSize, 0xFF);
        if (image.empty()) return;
        std::memcpy(image.data(), data + 1, std::min(image.size(), size - 1));
        walk(image.data());
    });
    return 0;
}
