// Kernel and board services on the board itself: one task, no scheduler. A
// reset goes through the reset register, a halt stops the core, the hand-off
// calls the loaded image; the processor registers are the real ones; memory
// comes from the C library's heap; semaphores never block another task
// because there is none (a take that cannot succeed waits out its time-out).
#include "platform/kernel.h"

#include <cstdlib>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/ppce500/board_control.h"
#include "platform/ppce500/cpu.h"
#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/mpic.h"
#include "platform/services.h"

extern "C" char __image_start[];

namespace plat {

void sysReboot() {
    if (services().console) services().console->drain();
    ppce::boardReset();
}

void halt() {
    if (services().console) services().console->drain();
    ppce::boardHalt();
}

void handoff(uint32_t entry, int startType, uint32_t /*loadedBytes*/) {
    // The idle tick's timer stays behind: the loaded image starts without it.
    ppce::mpicReset();
    ppce::callAbsolute(entry, startType);
    // The operational code does not come back; if it does, the board stops.
    ppce::boardHalt();
}

uint32_t sdramSize() {
    return ppce::boardInfo().sdramSize;
}
uint32_t bootAreaStart() {
    return uint32_t(reinterpret_cast<uintptr_t>(__image_start));
}

uint32_t vxMsrGet() {
    return ppce::msrGet();
}
void vxMsrSet(uint32_t value) {
    ppce::msrSet(value);
}
void vxHid0Set(uint32_t value) {
    ppce::hid0Set(value);
}
uint32_t vxL1CSR1Get() {
    return ppce::l1csr1Get();
}
void sysL1Csr1Set(uint32_t value) {
    ppce::l1csr1Set(value);
}
void cacheFlush(uint32_t address, uint32_t bytes) {
    if (bytes == 0 || uint64_t(address) + bytes > ppce::boardInfo().sdramSize) return;
    ppce::cacheFlushRange(reinterpret_cast<const void*>(uintptr_t(address)), bytes);
}

int intLock() {
    uint32_t msr = ppce::msrGet();
    ppce::msrSet(msr & ~ppce::kMsrEe);
    return int(msr & ppce::kMsrEe);
}
void intUnlock(int key) {
    if (key & int(ppce::kMsrEe)) ppce::msrSet(ppce::msrGet() | ppce::kMsrEe);
}
bool intContext() {
    return false;
}

namespace {
int taskLocks = 0;
SignalHandler signal15 = nullptr;
}  // namespace

int taskLock() {
    ++taskLocks;
    return 0;
}
int taskUnlock() {
    if (taskLocks > 0) --taskLocks;
    return 0;
}
int taskIdSelf() {
    return 0x1000;
}
uint32_t vxImmrGet() {
    // The communications module's place in the configuration registers.
    return ppce::kCcsrBase + 0x80000u;
}

SignalHandler sigvec15(SignalHandler handler) {
    SignalHandler old = signal15;
    signal15 = handler;
    return old;
}
SignalHandler sigvec15Get() {
    return signal15;
}

void* malloc(size_t n) {
    return std::malloc(n);
}
void free(void* p) {
    std::free(p);
}
size_t memFindMax() {
    uintptr_t top = ppce::heapEnd();
    return top > ppce::heapStart() ? size_t(top - ppce::heapStart()) : 0;
}

struct Semaphore {
    enum class Type { Binary, Mutex, Counting } type;
    int count;
};

SEM_ID semBCreate(int, int initialState) {
    return new Semaphore{Semaphore::Type::Binary, initialState ? 1 : 0};
}
SEM_ID semMCreate(int) {
    return new Semaphore{Semaphore::Type::Mutex, 1};
}
SEM_ID semCCreate(int, int initialCount) {
    return new Semaphore{Semaphore::Type::Counting, initialCount};
}

int semTake(SEM_ID sem, int timeoutTicks) {
    if (!sem) return -1;
    if (sem->count > 0) {
        --sem->count;
        return 0;
    }
    // One task only: nobody can give it while we wait. Waiting forever for
    // it would hang the board, so that wait is refused at once.
    if (timeoutTicks > 0) taskDelay(timeoutTicks);
    return -1;
}

int semGive(SEM_ID sem) {
    if (!sem) return -1;
    sem->count = sem->type == Semaphore::Type::Counting ? sem->count + 1 : 1;
    return 0;
}

int semFlush(SEM_ID sem) {
    return !sem || sem->type == Semaphore::Type::Mutex ? -1 : 0;
}

int semDelete(SEM_ID sem) {
    if (!sem) return -1;
    delete sem;
    return 0;
}

}  // namespace plat
