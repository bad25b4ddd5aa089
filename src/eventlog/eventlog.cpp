// The persistent event log: a memory image of log2.bin that is rewritten whole
// on every stored record. The log never wraps record by record: when it is
// full the next entry (or the next start-up) erases it.
#include "eventlog/eventlog.h"

#include <cstdarg>
#include <cstring>

#include "platform/platform.h"

namespace {

struct LogSettings {
    uint8_t* image = nullptr;
    uint32_t size = 0;
    uint32_t recordCount = 0;
    uint32_t nextRecord = 0;
    LogNotifyFn notify = nullptr;
    uint32_t mode = 0;
    uint32_t extraA = 0;
    uint32_t extraB = 0;
};

LogSettings logState;
ZqLogObserver logObserver = nullptr;

uint8_t* recordAt(uint32_t index) {
    return logState.image + index * kLogRecordSize;
}

bool recordFree(uint32_t index) {
    return logGetWord(recordAt(index)) == kLogTypeFree;
}

uint32_t usedBytes() {
    return logState.recordCount * kLogRecordSize;
}

// Writes the records of the image from the file's start; false when the file
// cannot be opened.
bool writeImageToFile() {
    int fd = plat::open(kEventLogFileName, plat::kOpenReadWrite);
    if (fd < 0) return false;
    plat::write(fd, logState.image, usedBytes());
    plat::close(fd);
    return true;
}

// Index of the next record of a consistent log, or -1 when the log is full or
// has a used record after a free one.
long findNextRecord() {
    uint32_t first = 0;
    while (first < logState.recordCount && !recordFree(first)) ++first;
    if (first == logState.recordCount) return -1;
    for (uint32_t i = first + 1; i < logState.recordCount; ++i)
        if (!recordFree(i)) return -1;
    return long(first);
}

}  // namespace

STK_RESET_HOOK {
    plat::free(logState.image);
    logState = LogSettings{};
    logObserver = nullptr;
}

int Log_Init(uint32_t size, LogNotifyFn notify, uint32_t mode, uint32_t a, uint32_t b) {
    plat::free(logState.image);
    logState = LogSettings{};
    logState.image = static_cast<uint8_t*>(plat::malloc(size ? size : 1));
    if (!logState.image) {
        plat::printf("Cannot malloc enough memory to create log!\n");
        return 1;
    }
    // What the file does not cover holds free records.
    std::memset(logState.image, 0xFF, size);
    logState.size = size;
    logState.recordCount = size / kLogRecordSize;
    logState.notify = notify;
    logState.mode = mode;

    int fd = plat::open(kEventLogFileName, plat::kOpenReadWrite);
    if (fd < 0) fd = plat::open(kEventLogFileName, plat::kOpenReadWrite | plat::kOpenCreate);
    if (fd < 0) {
        plat::printf("Could not create %s on file system.\n\n", kEventLogFileName);
        plat::printf("Could not open/create %s on file system.\n\n", kEventLogFileName);
        return 1;
    }
    uint32_t got = 0;
    while (got < size) {
        long r = plat::read(fd, logState.image + got, size - got);
        if (r <= 0) break;
        got += uint32_t(r);
    }
    plat::close(fd);

    if (mode != kLogModeOff) {
        long next = findNextRecord();
        if (next < 0) {
            event_log_clear();
            next = 0;
        }
        logState.nextRecord = uint32_t(next);
    }
    logState.extraA = a;
    logState.extraB = b;
    return 0;
}

int event_log_clear() {
    if (!logState.image) return 0;
    std::memset(logState.image, 0xFF, usedBytes());
    writeImageToFile();
    return 0;
}

void event_log_entry_fill(uint32_t type, const char* file, int32_t line, uint32_t code,
                          uint8_t* record) {
    if (!record) return;
    const char* base = file ? file : "";
    zqutilsFilenameStrip(&base);
    logPutWord(record + kLogOffType, type);
    size_t len = std::strlen(base);
    if (len > size_t(kLogFileFieldLen)) len = kLogFileFieldLen;
    std::memset(record + kLogOffFile, ' ', kLogFileFieldLen);
    std::memcpy(record + kLogOffFile, base, len);
    logPutWord(record + kLogOffLine, uint32_t(line));
    logPutWord(record + kLogOffTask, uint32_t(plat::taskIdSelf()));
    logPutWord(record + kLogOffCode, code);
    logPutWord(record + kLogOffTime, uint32_t(plat::time()));
}

void add_flash_log_entry(const uint8_t* record, int atInterruptLevel) {
    if (logState.mode == kLogModeOff || !logState.image || !record) return;
    if (logState.recordCount == 0) return;
    if (logState.nextRecord >= logState.recordCount) {
        if (atInterruptLevel) return;
        event_log_clear();
        logState.nextRecord = 0;
    } else if (atInterruptLevel) {
        return;
    }
    std::memcpy(recordAt(logState.nextRecord), record, kLogRecordSize);
    // Without the file the record stays in memory and the next entry reuses its slot.
    if (!writeImageToFile()) return;
    ++logState.nextRecord;
}

void log_event(const char* file, int32_t line, uint32_t code) {
    if (plat::intContext() && logState.notify) logState.notify();
    uint8_t record[kLogRecordSize];
    event_log_entry_fill(kLogTypeEvent, file, line, code, record);
    add_flash_log_entry(record, 0);
}

void log_event_int(const char* file, int32_t line, uint32_t code) {
    uint8_t record[kLogRecordSize];
    event_log_entry_fill(kLogTypeEvent, file, line, code, record);
    add_flash_log_entry(record, 1);
}

void zq_vlogf(int severity, int component, const char* file, int line, const char* fmt,
              va_list ap) {
    if (logObserver) logObserver(severity, component, file, line);
    if (fmt) plat::vprintf(fmt, ap);
}

void zq_logf(int severity, int component, const char* file, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    zq_vlogf(severity, component, file, line, fmt, ap);
    va_end(ap);
}

void zqLogObserverSet(ZqLogObserver observer) {
    logObserver = observer;
}

void zqutilsFilenameStrip(const char** name) {
    if (!name || !*name || !**name) return;
    const char* base = *name;
    for (const char* p = *name; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    *name = base;
}

const uint8_t* eventLogImage() {
    return logState.image;
}
uint32_t eventLogRecordCount() {
    return logState.image ? logState.recordCount : 0;
}
uint32_t eventLogNextRecord() {
    return logState.nextRecord;
}
uint32_t eventLogMode() {
    return logState.mode;
}
