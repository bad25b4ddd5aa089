// File wrappers: status codes instead of -1 and errno, with the IO lock held
// around the low-level transfers.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "osapi/osapi.h"
#include "platform/platform.h"

namespace {

OsapiLogRoutine logRoutine = nullptr;

// How this layer names itself in its messages.
constexpr const char* kSourceName = "osapi_file";
constexpr int kComponent = 66;
constexpr int kSeverityError = 3;
constexpr int kSeverityWarning = 5;

// Runs one low-level file call under the IO lock.
template <typename Fn>
auto underIoLock(Fn fn) {
    osapiIOSemaTake(plat::WAIT_FOREVER);
    auto result = fn();
    osapiIOSemaGive();
    return result;
}

}  // namespace

void osapiLogRoutineSet(OsapiLogRoutine routine) {
    logRoutine = routine;
}

namespace {
// One message of this layer through the registered log routine.
__attribute__((format(printf, 3, 4))) void osapiLog(int severity, int line, const char* fmt, ...) {
    if (!logRoutine) return;
    va_list ap;
    va_start(ap, fmt);
    logRoutine(severity, kComponent, kSourceName, line, fmt, ap);
    va_end(ap);
}
}  // namespace

void osapiFsTruncateFailureReport(int error) {
    switch (error) {
        case EROFS:
            osapiLog(kSeverityWarning, 750,
                     "ftruncate failed  File resides on a read-only file system. ftruncate is "
                     "called to correctly set the files size in the file system after a write. "
                     "The file system is R/W so this msg indicates the file system may be "
                     "corrupted.\n");
            break;
        case EBADF:
            osapiLog(kSeverityWarning, 756,
                     "ftruncate failed  File is open for reading only. ftruncate is called to "
                     "correctly set the files size in the file system after a write. The file is "
                     "opened for R/W so this msg indicates the file system may be corrupted.\n");
            break;
        case EINVAL:
            osapiLog(kSeverityWarning, 763,
                     "ftruncate failed  File descriptor refers to a file on which this operation "
                     "is impossible. ftruncate is called to correctly set the files size in the "
                     "file system after a write. This msg indicates the file system may be "
                     "corrupted.\n");
            break;
        default:
            osapiLog(kSeverityWarning, 769,
                     "ftruncate failed  Returned an unknown code in errno. ftruncate is called to "
                     "correctly set the files size in the file system after a write. This msg "
                     "indicates the file system may be corrupted.\n");
            break;
    }
}

int osapiFsFileExist(const char* name) {
    int fd = plat::open(name, plat::kOpenRead);
    if (fd < 0) return 0;
    plat::close(fd);
    return 1;
}

int osapiFsOpen(const char* name, int* fd) {
    if (!fd) return kOsapiError;
    int got = underIoLock([&] { return plat::open(name, plat::kOpenReadWrite); });
    if (got < 0) return kOsapiError;
    *fd = got;
    return kOsapiSuccess;
}

int osapiFsCreateFile(const char* name) {
    int fd = plat::creat(name);
    if (fd < 0) return kOsapiError;
    plat::close(fd);
    return kOsapiSuccess;
}

int osapiFsFileCreate(const char* name, int* fd) {
    if (!fd) return kOsapiFailure;
    int got = plat::creat(name);
    if (got < 0) return kOsapiFailure;
    *fd = got;
    return kOsapiSuccess;
}

int osapiFsWrite(const char* name, const void* buffer, uint32_t length) {
    if (!buffer && length > 0) return kOsapiError;
    int fd =
        underIoLock([&] { return plat::open(name, plat::kOpenReadWrite | plat::kOpenCreate); });
    if (fd < 0) return kOsapiError;
    long written = underIoLock([&] { return plat::write(fd, buffer, length); });
    if (written != long(length)) {
        underIoLock([&] { return plat::close(fd); });
        return kOsapiError;
    }
    // Sets the size when the file was longer than what was just written.
    if (plat::ftruncate(fd, long(length)) != 0) {
        osapiFsTruncateFailureReport(plat::lastError());
        underIoLock([&] { return plat::close(fd); });
        return kOsapiError;
    }
    underIoLock([&] { return plat::close(fd); });
    return kOsapiSuccess;
}

int osapiFsWriteNoClose(int fd, const void* buffer, uint32_t length) {
    if (!buffer && length > 0) return kOsapiError;
    long written = underIoLock([&] { return plat::write(fd, buffer, length); });
    return written == long(length) ? kOsapiSuccess : kOsapiError;
}

int osapiFsClose(int fd) {
    if (fd < 0) {
        osapiLog(kSeverityError, 647, "File close failed as the descriptor %d is invalid \n", fd);
        return kOsapiError;
    }
    if (underIoLock([&] { return plat::close(fd); }) != 0) {
        osapiLog(kSeverityError, 657, "File close failed for descriptor %d \n", fd);
        return kOsapiError;
    }
    return kOsapiSuccess;
}

int osapiFsRead(const char* name, void* buffer, uint32_t length) {
    int fd = plat::open(name, plat::kOpenReadWrite);
    if (fd < 0) return kOsapiError;
    int result = osapiFileRead(fd, buffer, length);
    plat::close(fd);
    return result;
}

int osapiFileRead(int fd, void* buffer, uint32_t length) {
    uint32_t len = length;
    return osapiFileReadWithLen(fd, buffer, &len);
}

int osapiFileReadWithLen(int fd, void* buffer, uint32_t* length) {
    if (!length || (!buffer && *length > 0)) return kOsapiError;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t want = *length;
    uint32_t got = 0;
    int result = kOsapiSuccess;
    while (got < want) {
        long r = underIoLock([&] { return plat::read(fd, out + got, want - got); });
        if (r < 0) {
            result = kOsapiError;
            break;
        }
        if (r == 0) break;
        got += uint32_t(r);
    }
    *length = got;
    return result;
}

int osapiFileSeek(int fd, long offset, int origin) {
    return plat::lseek(fd, offset, origin) < 0 ? kOsapiFailure : kOsapiSuccess;
}

int osapiFsFileSizeGet(const char* name, uint32_t* size) {
    if (!size) return kOsapiError;
    *size = 0;
    int fd = plat::open(name, plat::kOpenReadWrite);
    if (fd < 0) return kOsapiError;
    plat::Stat st;
    int rc = plat::fstat(fd, &st);
    plat::close(fd);
    if (rc != 0) return kOsapiError;
    *size = uint32_t(st.size);
    return kOsapiSuccess;
}

int osapiFsCopyFile(const char* source, const char* destination) {
    return plat::copy(source, destination) == 0 ? kOsapiSuccess : kOsapiError;
}

int osapiFsDeleteFile(const char* name) {
    return plat::remove(name) == 0 ? kOsapiSuccess : kOsapiError;
}

int osapiFsRenameFile(const char* oldName, const char* newName) {
    // Removing the target first must never lose the only copy: not when the
    // source is missing, and not when both names are the same file.
    plat::Stat st;
    if (!oldName || !newName || plat::stat(oldName, &st) != 0) return kOsapiError;
    if (plat::sameFile(oldName, newName)) return kOsapiSuccess;
    plat::remove(newName);
    return plat::rename(oldName, newName) == 0 ? kOsapiSuccess : kOsapiError;
}
