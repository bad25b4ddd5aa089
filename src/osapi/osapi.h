// The OS abstraction layer offered to the operational code: file, directory
// and semaphore services with status codes instead of -1 and errno, one IO
// lock around low-level file transfers, and millisecond time-outs.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/kernel.h"

// Status codes.
constexpr int kOsapiSuccess = 0;
constexpr int kOsapiFailure = 1;
constexpr int kOsapiError = 2;
constexpr int kOsapiNothingMore = 5;  // end of a directory

// Entry types of the listing records.
constexpr uint32_t kOsapiTypeFile = 1;
constexpr uint32_t kOsapiTypeDir = 2;
constexpr uint32_t kOsapiTypeDotEntry = 6;  // "." and ".."

// Access of the listing records, from the owner permission bits.
constexpr uint32_t kOsapiAccessReadOnly = 1;
constexpr uint32_t kOsapiAccessReadWrite = 2;
constexpr uint32_t kOsapiAccessWriteOnly = 3;
constexpr uint32_t kOsapiAccessNone = 4;

// Options kept by the semaphore creators: priority queue, delete-safe,
// inversion-safe.
constexpr int kOsapiSemOptionMask = 0x0D;

constexpr int kOsapiNameLen = 32;  // 31 characters + NUL
constexpr int kOsapiLongNameLen = 256;
constexpr int kOsapiTextLen = 256;

// osapiFsListCompact
struct OsapiFsCompactEntry {
    char name[kOsapiNameLen];
    uint32_t type;
    uint32_t access;
    uint32_t size;
};

// osapiFsDirFilesGet
struct OsapiFsIterEntry {
    char name[kOsapiLongNameLen];
    uint32_t type;
    uint32_t access;
    uint32_t size;
};

// osapiFsList
struct OsapiFsListEntry {
    char name[kOsapiNameLen];
    char type[kOsapiTextLen];  // decimal text
    char mode[kOsapiTextLen];  // "drwx" style
    char date[kOsapiTextLen];  // "%02d %02d %4d %02d:%02d:%02d"
    uint32_t mtime;
    uint32_t size;
    uint32_t serial;
};

// osapiFsList: the directory listed (empty: the working directory) and its
// volume figures.
struct OsapiFsDirSummary {
    char path[kOsapiNameLen];
    uint32_t bytesUsed;
    uint32_t totalSize;
    uint32_t bytesFree;
};

// --- Files ----------------------------------------------------------------------
// Where the layer's failure messages go: the log utility's formatted logger,
// registered from above (the event log registers its own when it opens).
// Until one is registered the messages are not shown.
using OsapiLogRoutine = void (*)(int severity, int component, const char* file, int line,
                                 const char* fmt, va_list ap);
void osapiLogRoutineSet(OsapiLogRoutine routine);

int osapiFsFileExist(const char* name);
int osapiFsOpen(const char* name, int* fd);
int osapiFsCreateFile(const char* name);
int osapiFsFileCreate(const char* name, int* fd);
int osapiFsWrite(const char* name, const void* buffer, uint32_t length);
int osapiFsWriteNoClose(int fd, const void* buffer, uint32_t length);
int osapiFsClose(int fd);
int osapiFsRead(const char* name, void* buffer, uint32_t length);
int osapiFileRead(int fd, void* buffer, uint32_t length);
int osapiFileReadWithLen(int fd, void* buffer, uint32_t* length);
int osapiFileSeek(int fd, long offset, int origin);
int osapiFsFileSizeGet(const char* name, uint32_t* size);
int osapiFsCopyFile(const char* source, const char* destination);
int osapiFsDeleteFile(const char* name);
int osapiFsRenameFile(const char* oldName, const char* newName);
// The message of a failed size setting after osapiFsWrite, chosen by errno.
void osapiFsTruncateFailureReport(int error);

// --- Directories and volumes ----------------------------------------------------
int osapiFsDirFilesGet(const char* path, OsapiFsIterEntry* entry);
int osapiFsListCompact(OsapiFsCompactEntry* entries, uint32_t* capacity);
int osapiFsList(OsapiFsListEntry* entries, OsapiFsDirSummary* summary, uint32_t* capacity);
int osapiFsDir(char* buffer, uint32_t size);
int osapiFsDirSize(uint32_t* total, uint32_t* used);
int osapiFsRamCreate(uint32_t unused, const char* device, uint32_t size);

// --- Semaphores (time-outs in milliseconds: 0 no wait, -1 wait forever) --------
plat::SEM_ID osapiSemaBCreateTrack(const char* file, int line, int options, int initialState);
plat::SEM_ID osapiSemaMCreateTrack(const char* file, int line, int options);
plat::SEM_ID osapiSemaCCreateTrack(const char* file, int line, int options, int initialCount);
int osapiSemaTake(plat::SEM_ID sem, int timeoutMs);
int osapiSemaGive(plat::SEM_ID sem);
int osapiSemaFlush(plat::SEM_ID sem);
int osapiSemaDelete(plat::SEM_ID sem);
// The IO lock; its time-out is in ticks.
int osapiIOSemaTake(int timeoutTicks);
int osapiIOSemaGive();

// --- Transfer progress hook -------------------------------------------------------
using OsapiTransferNotifyFn = void (*)(uint32_t bytesCompleted, uint32_t bytesTotal);
int osapiTransferBytesCompletedNotifyRegister(OsapiTransferNotifyFn fn);
int osapiTransferBytesCompletedNotifyDeRegister();
void osapiTransferBytesCompletedNotify(uint32_t bytesCompleted, uint32_t bytesTotal);
