// Semaphores with millisecond time-outs, the IO lock of the file wrappers, and
// the transfer progress hook.
#include <climits>
#include <cstdint>

#include "osapi/osapi.h"
#include "platform/clock.h"
#include "platform/services.h"

namespace {

plat::SEM_ID ioLock = nullptr;
OsapiTransferNotifyFn transferNotify = nullptr;

}  // namespace

STK_RESET_HOOK {
    if (ioLock) plat::semDelete(ioLock);
    ioLock = nullptr;
    transferNotify = nullptr;
}

plat::SEM_ID osapiSemaBCreateTrack(const char*, int, int options, int initialState) {
    return plat::semBCreate(options & kOsapiSemOptionMask,
                            initialState != 0 ? plat::SEM_FULL : plat::SEM_EMPTY);
}

plat::SEM_ID osapiSemaMCreateTrack(const char*, int, int options) {
    return plat::semMCreate(options & kOsapiSemOptionMask);
}

plat::SEM_ID osapiSemaCCreateTrack(const char*, int, int options, int initialCount) {
    return plat::semCCreate(options & kOsapiSemOptionMask, initialCount);
}

int osapiSemaTake(plat::SEM_ID sem, int timeoutMs) {
    int ticks;
    if (timeoutMs == 0) {
        ticks = plat::NO_WAIT;
    } else if (timeoutMs == -1) {
        ticks = plat::WAIT_FOREVER;
    } else if (timeoutMs < 0) {
        return kOsapiError;
    } else {
        // A time-out too long to count in ticks waits forever; one below a tick
        // does not wait.
        int64_t product = int64_t(timeoutMs) * plat::sysClkRateGet();
        ticks = product > INT_MAX ? plat::WAIT_FOREVER : int(product / 1000);
    }
    return plat::semTake(sem, ticks) == 0 ? kOsapiSuccess : kOsapiFailure;
}

int osapiSemaGive(plat::SEM_ID sem) {
    return plat::semGive(sem) == 0 ? kOsapiSuccess : kOsapiFailure;
}

int osapiSemaFlush(plat::SEM_ID sem) {
    return plat::semFlush(sem) == 0 ? kOsapiSuccess : kOsapiFailure;
}

int osapiSemaDelete(plat::SEM_ID sem) {
    return plat::semDelete(sem) == 0 ? kOsapiSuccess : kOsapiFailure;
}

int osapiIOSemaTake(int timeoutTicks) {
    if (!ioLock) ioLock = plat::semBCreate(plat::SEM_Q_FIFO, plat::SEM_FULL);
    return plat::semTake(ioLock, timeoutTicks) == 0 ? kOsapiSuccess : kOsapiFailure;
}

int osapiIOSemaGive() {
    return plat::semGive(ioLock) == 0 ? kOsapiSuccess : kOsapiFailure;
}

int osapiTransferBytesCompletedNotifyRegister(OsapiTransferNotifyFn fn) {
    if (!fn) return kOsapiFailure;
    transferNotify = fn;
    return kOsapiSuccess;
}

int osapiTransferBytesCompletedNotifyDeRegister() {
    transferNotify = nullptr;
    return kOsapiSuccess;
}

void osapiTransferBytesCompletedNotify(uint32_t bytesCompleted, uint32_t bytesTotal) {
    if (transferNotify) transferNotify(bytesCompleted, bytesTotal);
}
