// Kernel and board services of the simulated board.
#include "platform/kernel.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/board_map.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/host/board.h"
#include "platform/services.h"

namespace plat {

void sysReboot() {
    BoardStop stop{BoardStop::Kind::Reset};
    throw stop;
}

void halt() {
    BoardStop stop{BoardStop::Kind::Halt};
    throw stop;
}

void handoff(uint32_t entry, int startType, uint32_t loadedBytes) {
    // Everything the boot program wrote reaches the terminal before whatever
    // stands in for the image runs, or the program ends.
    board().console().drain();
    BoardStop stop{BoardStop::Kind::Handoff};
    stop.entry = entry;
    stop.startType = startType;
    stop.loadedBytes = loadedBytes;
    throw stop;
}

uint32_t sdramSize() {
    return 256u << 20;
}
uint32_t bootAreaStart() {
    return 0x0F000000;
}

uint32_t vxMsrGet() {
    return board().regs().msr;
}
void vxMsrSet(uint32_t value) {
    board().regs().msr = value;
}
void vxHid0Set(uint32_t value) {
    board().regs().hid0 = value;
}
uint32_t vxL1CSR1Get() {
    return board().regs().l1csr1;
}
void sysL1Csr1Set(uint32_t value) {
    CpuRegisters& r = board().regs();
    // The flash-invalidate bit is self-clearing once the cache is invalidated.
    if (value & 0x2) ++r.cacheInvalidates;
    r.l1csr1 = value & ~0x2u;
}
void cacheFlush(uint32_t address, uint32_t bytes) {
    // No cache to write back; the range is kept for the tests.
    board().regs().flushedStart = address;
    board().regs().flushedBytes = bytes;
}
int intLock() {
    return board().regs().intLockLevel++;
}
void intUnlock(int key) {
    board().regs().intLockLevel = key;
}
bool intContext() {
    return false;
}
int taskLock() {
    ++board().regs().taskLockLevel;
    return 0;
}
int taskUnlock() {
    CpuRegisters& r = board().regs();
    if (r.taskLockLevel > 0) --r.taskLockLevel;
    return 0;
}
int taskIdSelf() {
    return 0x1000;
}
uint32_t vxImmrGet() {
    // The communications module lies in the configuration registers.
    return kCcsrBase + 0x80000u;
}

namespace {
SignalHandler signal15 = nullptr;
STK_RESET_HOOK {
    signal15 = nullptr;
}
extern "C" void hostSigterm(int sig) {
    if (signal15) signal15(sig == SIGTERM ? 15 : sig);
}
}  // namespace

SignalHandler sigvec15Get() {
    return signal15;
}

SignalHandler sigvec15(SignalHandler handler) {
    SignalHandler old = signal15;
    signal15 = handler;
    if (!board().clock().isVirtual()) {
        struct sigaction sa {};
        sa.sa_handler = handler ? hostSigterm : SIG_DFL;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGTERM, &sa, nullptr);
    }
    return old;
}

namespace {
long mallocFailAt = 0;
STK_RESET_HOOK {
    mallocFailAt = 0;
}
}  // namespace

void failMallocAt(long n) {
    mallocFailAt = n;
}

void* malloc(size_t n) {
    if (mallocFailAt > 0 && --mallocFailAt == 0) return nullptr;
    return std::malloc(n);
}
void free(void* p) {
    std::free(p);
}
size_t memFindMax() {
    return size_t(192) << 20;
}

struct Semaphore {
    enum class Type { Binary, Mutex, Counting } type;
    int options;
    int count;
    std::mutex m;
    std::condition_variable cv;
};

SEM_ID semBCreate(int options, int initialState) {
    return new Semaphore{Semaphore::Type::Binary, options, initialState ? 1 : 0, {}, {}};
}
SEM_ID semMCreate(int options) {
    return new Semaphore{Semaphore::Type::Mutex, options, 1, {}, {}};
}
SEM_ID semCCreate(int options, int initialCount) {
    return new Semaphore{Semaphore::Type::Counting, options, initialCount, {}, {}};
}

int semTake(SEM_ID sem, int timeoutTicks) {
    if (!sem) return -1;
    std::unique_lock<std::mutex> lock(sem->m);
    if (sem->count > 0) {
        --sem->count;
        return 0;
    }
    if (timeoutTicks == NO_WAIT) return -1;
    Clock& clock = board().clock();
    if (clock.isVirtual()) {
        // One task only: nobody can give it while we wait.
        if (timeoutTicks > 0) clock.sleepUs(uint64_t(timeoutTicks) * 1000000u / kTicksPerSecond);
        return -1;
    }
    if (timeoutTicks < 0) {
        sem->cv.wait(lock, [&] { return sem->count > 0; });
    } else if (!sem->cv.wait_for(
                   lock,
                   std::chrono::microseconds(int64_t(timeoutTicks) * 1000000 / kTicksPerSecond),
                   [&] { return sem->count > 0; })) {
        return -1;
    }
    --sem->count;
    return 0;
}

int semGive(SEM_ID sem) {
    if (!sem) return -1;
    std::lock_guard<std::mutex> lock(sem->m);
    if (sem->type == Semaphore::Type::Counting)
        ++sem->count;
    else
        sem->count = 1;
    sem->cv.notify_one();
    return 0;
}

int semFlush(SEM_ID sem) {
    if (!sem) return -1;
    if (sem->type == Semaphore::Type::Mutex) return -1;
    sem->cv.notify_all();
    return 0;
}

int semDelete(SEM_ID sem) {
    if (!sem) return -1;
    delete sem;
    return 0;
}

}  // namespace plat
