// The persistent event log log2.bin, and the small log utilities shared with
// the OS abstraction layer.
#pragma once

#include <cstdarg>
#include <cstdint>

// The log file: an array of 52-byte big-endian records.
constexpr const char* kEventLogFileName = "log2.bin";
constexpr uint32_t kLogRecordSize = 52;
constexpr int kLogFileFieldLen = 32;

// Record types (first word of a record).
constexpr uint32_t kLogTypeEvent = 1;
constexpr uint32_t kLogTypeError = 2;
constexpr uint32_t kLogTypeMachineCheck = 3;
constexpr uint32_t kLogTypeWatchdog = 4;
constexpr uint32_t kLogTypeExc0300 = 0x300;
constexpr uint32_t kLogTypeExc1100 = 0x1100;
constexpr uint32_t kLogTypeFree = 0xFFFFFFFF;

// Field offsets of an event record.
constexpr uint32_t kLogOffType = 0;
constexpr uint32_t kLogOffFile = 4;
constexpr uint32_t kLogOffLine = 36;
constexpr uint32_t kLogOffTask = 40;
constexpr uint32_t kLogOffCode = 44;
constexpr uint32_t kLogOffTime = 48;
// Field offsets of an exception record.
constexpr uint32_t kLogOffSrr0 = 4;
constexpr uint32_t kLogOffSrr1 = 8;
constexpr uint32_t kLogOffMsr = 12;
constexpr uint32_t kLogOffDsisr = 16;
constexpr uint32_t kLogOffDar = 20;
constexpr uint32_t kLogOffExcTime = 24;

// Mode value that switches the persistent log off.
constexpr uint32_t kLogModeOff = 6;

using LogNotifyFn = void (*)(void);

// Opens (creating or repairing) log2.bin and keeps its image in memory.
// 0, or 1 when the log could not be set up.
int Log_Init(uint32_t size, LogNotifyFn notify, uint32_t mode, uint32_t a, uint32_t b);
// Erases every record in memory and in the file. Always 0.
int event_log_clear();
// Records an event of type 1.
void log_event(const char* file, int32_t line, uint32_t code);
// The interrupt-level variant: fills a record but stores nothing.
void log_event_int(const char* file, int32_t line, uint32_t code);
// Stores one 52-byte record; interrupt level 1 stores nothing.
void add_flash_log_entry(const uint8_t* record, int atInterruptLevel);
// Fills a 52-byte event record.
void event_log_entry_fill(uint32_t type, const char* file, int32_t line, uint32_t code,
                          uint8_t* record);

// Prints a formatted message on standard output; the first four arguments
// are accepted and not shown.
void zq_logf(int severity, int component, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
void zq_vlogf(int severity, int component, const char* file, int line, const char* fmt, va_list ap)
    __attribute__((format(printf, 5, 0)));
// Sees the place of every zq_logf message (severity, component, file, line)
// before it is printed; null removes it.
using ZqLogObserver = void (*)(int severity, int component, const char* file, int line);
void zqLogObserverSet(ZqLogObserver observer);
// Moves *name past the last '/' or '\\'.
void zqutilsFilenameStrip(const char** name);

// Read access to the log settings for the rendering.
const uint8_t* eventLogImage();  // null when the log is unusable
uint32_t eventLogRecordCount();
uint32_t eventLogNextRecord();
uint32_t eventLogMode();

// Big-endian words of the records.
inline uint32_t logGetWord(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void logPutWord(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
