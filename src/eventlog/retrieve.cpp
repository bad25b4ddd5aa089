// The event log as text: one line per record, newest first, in asciilog.bin,
// padded to whole 1024-byte blocks and sent over the console.
#include "eventlog/retrieve.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "eventlog/eventlog.h"
#include "platform/platform.h"
#include "xmodem/xmodem.h"

namespace {

constexpr uint32_t kTextBlock = 1024;

EventLogTransferFn transferFn = nullptr;

// Index of the record at `cursor`, or -1 when the cursor is not the start of
// a record of the log.
long recordIndex(const uint8_t* image, uint32_t count, const uint8_t* cursor) {
    uintptr_t at = reinterpret_cast<uintptr_t>(cursor);
    uintptr_t begin = reinterpret_cast<uintptr_t>(image);
    if (at < begin) return -1;
    uintptr_t offset = at - begin;
    if (offset % kLogRecordSize != 0 || offset / kLogRecordSize >= count) return -1;
    return long(offset / kLogRecordSize);
}

bool isFree(const uint8_t* image, uint32_t index) {
    return logGetWord(image + index * kLogRecordSize) == kLogTypeFree;
}

// The newest record: the one before the first free record, or the last one
// when none is free; -1 when record 0 is free.
long newestRecord(const uint8_t* image, uint32_t count) {
    if (isFree(image, 0)) return -1;
    for (uint32_t i = 1; i < count; ++i)
        if (isFree(image, i)) return long(i) - 1;
    return long(count) - 1;
}

struct TimeSplit {
    uint32_t days, hours, minutes, seconds;
};

TimeSplit splitTime(uint32_t t) {
    uint32_t rest = t % 86400;
    return {t / 86400, rest / 3600, rest % 3600 / 60, rest % 60};
}

unsigned long word(const uint8_t* record, uint32_t offset) {
    return logGetWord(record + offset);
}

void renderEvent(const uint8_t* rec, uint32_t type, char* line) {
    const char* file = reinterpret_cast<const char*>(rec + kLogOffFile);
    int fileLen = int(strnlen(file, kLogFileFieldLen));
    TimeSplit t = splitTime(logGetWord(rec + kLogOffTime));
    std::snprintf(line, kEventLogLineLen, "%s%.*s %4ld %08lX %08lX%10u %2u %2u %2u\r\n",
                  type == kLogTypeEvent ? "EVENT> " : "ERROR> ", fileLen, file,
                  long(int32_t(logGetWord(rec + kLogOffLine))), word(rec, kLogOffTask),
                  word(rec, kLogOffCode), t.days, t.hours, t.minutes, t.seconds);
}

void renderException(const uint8_t* rec, const char* prefix, char* line) {
    TimeSplit t = splitTime(logGetWord(rec + kLogOffExcTime));
    std::snprintf(line, kEventLogLineLen,
                  "%ssrr0:%08lX srr1: %08lX msr:%08lX dsisr:%08lX dar:%08lX  %4u %2u %2u %2u\r\n",
                  prefix, word(rec, kLogOffSrr0), word(rec, kLogOffSrr1), word(rec, kLogOffMsr),
                  word(rec, kLogOffDsisr), word(rec, kLogOffDar), t.days, t.hours, t.minutes,
                  t.seconds);
}

void renderCorrupt(const uint8_t* rec, char* line) {
    std::snprintf(line, kEventLogLineLen,
                  "CORRUPT ENTRY >>>>>>>%08lX %08lX %08lX %08lX %08lX %08lX\r\n", word(rec, 0),
                  word(rec, 4), word(rec, 8), word(rec, 12), word(rec, 16), word(rec, 20));
}

void renderRecord(const uint8_t* rec, char* line) {
    uint32_t type = logGetWord(rec + kLogOffType);
    switch (type) {
        case kLogTypeEvent:
        case kLogTypeError:
            renderEvent(rec, type, line);
            break;
        case kLogTypeMachineCheck:
            renderException(rec, "Machine Check > ", line);
            break;
        case kLogTypeWatchdog:
            renderException(rec, "Watchdog      > ", line);
            break;
        case kLogTypeExc0300:
            renderException(rec, "Exc 0x0300    > ", line);
            break;
        case kLogTypeExc1100:
            renderException(rec, "Exc 0x1100    > ", line);
            break;
        default:
            renderCorrupt(rec, line);
            break;
    }
}

// Writes all bytes to the text file and counts them.
bool writeText(int fd, const char* text, size_t len, uint32_t& count) {
    long w = plat::write(fd, text, len);
    if (w != long(len)) return false;
    count += uint32_t(len);
    return true;
}

bool writeLog(int fd, uint32_t& count) {
    char line[kEventLogLineLen] = {};
    const uint8_t* cursor = Zq_event_log_get_next(nullptr, nullptr, line);
    if (!cursor) {
        static const char kEmpty[] = "\r\nMessage Log Empty";
        return writeText(fd, kEmpty, sizeof kEmpty - 1, count);
    }
    static const char kHeader[] =
        "                                                  Time\r\n"
        "         File   Line  TaskID    Code           d  h  m  s\r\n";
    if (!writeText(fd, kHeader, sizeof kHeader - 1, count)) return false;
    while (cursor) {
        size_t len = std::strlen(line);
        if (len >= 2 && line[len - 2] != '\r' && len + 1 < sizeof line) {
            line[len - 1] = '\r';
            line[len] = '\n';
            line[len + 1] = '\0';
            ++len;
        }
        if (!writeText(fd, line, len, count)) return false;
        cursor = Zq_event_log_get_next(nullptr, cursor, line);
    }
    return true;
}

}  // namespace

STK_RESET_HOOK {
    transferFn = nullptr;
}

const uint8_t* Zq_event_log_get_next(const uint8_t* base, const uint8_t* cursor, char* line) {
    const uint8_t* image = base ? base : eventLogImage();
    uint32_t count = eventLogRecordCount();
    if (eventLogMode() == kLogModeOff || !image || !line || count == 0) return nullptr;
    long newest = newestRecord(image, count);
    long index;
    if (!cursor) {
        if (newest < 0) return nullptr;
        index = newest;
    } else {
        index = recordIndex(image, count, cursor);
        // The end of a pass (one past the last record) lands here too.
        if (index < 0) return nullptr;
    }
    if (isFree(image, uint32_t(index))) return nullptr;
    long next = index == 0 ? long(count) - 1 : index - 1;
    renderRecord(image + index * kLogRecordSize, line);
    // Back at the newest record: one pass is done, even when no record is free.
    if (next == newest) return image + count * kLogRecordSize;
    return image + next * kLogRecordSize;
}

int convert_event_log_to_ascii() {
    int fd = plat::open(kEventLogTextFile, plat::kOpenWrite | plat::kOpenCreate | plat::kOpenTrunc);
    if (fd < 0) return 1;
    uint32_t count = 0;
    bool ok = writeLog(fd, count);
    if (ok && count % kTextBlock != 0) {
        char blanks[kTextBlock];
        std::memset(blanks, ' ', sizeof blanks);
        ok = writeText(fd, blanks, kTextBlock - count % kTextBlock, count);
    }
    if (plat::close(fd) != 0) ok = false;
    // A cut-short text is never sent.
    if (!ok) {
        plat::unlink(kEventLogTextFile);
        return 1;
    }
    return 0;
}

void send_event_log_via_xmodem() {
    if (convert_event_log_to_ascii() != 0) {
        plat::printf("ERROR: Event Log conversion failed. XMODEM transfer failed.\n");
        return;
    }
    char args[64];
    std::snprintf(args, sizeof args, "cbske %s", kEventLogTextFile);
    int result = transferFn ? transferFn(args) : xmodem(args);
    plat::unlink(kEventLogTextFile);
    if (result == 0)
        plat::printf("Event log transmitted.\n");
    else
        plat::printf("ERROR: XMODEM transfer failed.\n");
}

void eventLogTransferSet(EventLogTransferFn fn) {
    transferFn = fn;
}
