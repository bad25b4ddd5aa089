// Kernel and board services other than the console, the clock and the flash
// disk: reset, halt, processor registers, hand-off, locks, signals, memory,
// semaphores. Each target implements them (host: the simulated board;
// ppce500: the processor itself).
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// --- Non-returning board operations ---------------------------------------------
// Resets the board: the boot program starts again from power-on.
[[noreturn]] void sysReboot();
// The task loops forever; only a hardware reset ends it.
[[noreturn]] void halt();
// Calls the absolute address `entry` with one integer argument; the boot
// program never runs again. loadedBytes: how much the load placed there.
[[noreturn]] void handoff(uint32_t entry, int startType, uint32_t loadedBytes);

// --- SDRAM --------------------------------------------------------------------
// The board's SDRAM from address 0, and the top part that the boot program
// keeps for itself: loads must stay below bootAreaStart().
uint32_t sdramSize();
uint32_t bootAreaStart();

// --- Processor registers of the hand-off ---------------------------------------
uint32_t vxMsrGet();
void vxMsrSet(uint32_t value);
void vxHid0Set(uint32_t value);
uint32_t vxL1CSR1Get();
void sysL1Csr1Set(uint32_t value);  // followed by a synchronisation
// Writes the data cache back to memory over [address, address + bytes), so
// that code just written there as data is what the instruction fetch reads.
void cacheFlush(uint32_t address, uint32_t bytes);
int intLock();
void intUnlock(int key);
bool intContext();
int taskLock();
int taskUnlock();
int taskIdSelf();
uint32_t vxImmrGet();

// --- Signal mask of the boot task ------------------------------------------------
using SigSet = uint32_t;
constexpr int kSigBlock = 1;
constexpr int kSigUnblock = 2;
constexpr int kSigSetMask = 3;
constexpr SigSet kSigAll = 0xFFFFFFFFu;
// Changes the task's mask as `how` says (set may be null to only read it);
// 0, or -1 for an unknown `how`.
int sigprocmask(int how, const SigSet* set, SigSet* old);

// --- Memory ---------------------------------------------------------------------
void* malloc(size_t n);
void free(void* p);
size_t memFindMax();

// --- Semaphores -----------------------------------------------------------------
struct Semaphore;
using SEM_ID = Semaphore*;
constexpr int SEM_Q_FIFO = 0x0;
constexpr int SEM_Q_PRIORITY = 0x1;
constexpr int SEM_DELETE_SAFE = 0x4;
constexpr int SEM_INVERSION_SAFE = 0x8;
constexpr int SEM_EMPTY = 0;
constexpr int SEM_FULL = 1;
constexpr int WAIT_FOREVER = -1;
constexpr int NO_WAIT = 0;

SEM_ID semBCreate(int options, int initialState);
SEM_ID semMCreate(int options);
SEM_ID semCCreate(int options, int initialCount);
int semTake(SEM_ID sem, int timeoutTicks);
int semGive(SEM_ID sem);
int semFlush(SEM_ID sem);
int semDelete(SEM_ID sem);

// --- Signal 15 handler of the boot task ------------------------------------------
using SignalHandler = void (*)(int);
SignalHandler sigvec15(SignalHandler handler);  // installs, returns the old one
SignalHandler sigvec15Get();

}  // namespace plat
