// Kernel and board services other than the console, the clock and the flash
// disk: reset, halt, SDRAM, processor registers, hand-off, locks, memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/address_map.h"

namespace plat {

// --- Non-returning board operations (throw BoardStop) ---------------------------
[[noreturn]] void sysReboot();
// The task loops forever; only a hardware reset (process kill) ends it.
[[noreturn]] void halt();
// Calls the absolute address `entry` with one integer argument; the boot
// program never runs again.
[[noreturn]] void handoff(uint32_t entry, int startType, uint32_t loadedBytes);

// --- SDRAM ----------------------------------------------------------------------
// 256 MiB from address 0, reserved lazily so untouched pages cost nothing.
// It is the SDRAM region of the board's address map.
class Ram : public BusDevice {
  public:
    static constexpr uint64_t kSize = kSdramSize;
    // The boot program's own area at the top of RAM; loads must stay below it.
    static constexpr uint64_t kBootArea = 0x0F000000;
    Ram();
    ~Ram();
    Ram(const Ram&) = delete;
    Ram& operator=(const Ram&) = delete;
    uint8_t* base() { return base_; }
    uint64_t size() const { return kSize; }
    // Pointer to [addr, addr+len) when it lies inside RAM, else nullptr.
    uint8_t* at(uint64_t addr, uint64_t len);

    bool read(uint32_t offset, int width, uint32_t* value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;
    uint8_t* memory(uint32_t offset, uint32_t len) override { return at(offset, len); }

    // --- Test controls: faults that bus cycles see (bulk memory() does not) ---
    // Address lines in `mask` never reach the chips: a cycle at A lands at A & ~mask.
    void aliasAddressLines(uint32_t mask) { aliasMask_ = mask; }
    // Bits of `mask` in the byte at `addr` read as 1 (high) or 0, whatever is stored.
    void stuckBits(uint32_t addr, uint8_t mask, bool high) {
        stuck_.push_back(Stuck{addr, mask, high});
    }

  private:
    struct Stuck {
        uint32_t addr;
        uint8_t mask;
        bool high;
    };
    uint8_t* base_;
    uint32_t aliasMask_ = 0;
    std::vector<Stuck> stuck_;
};

// --- Processor registers of the hand-off ---------------------------------------
struct CpuRegisters {
    uint32_t msr = 0x00029200;
    uint32_t hid0 = 0;
    uint32_t l1csr1 = 0x00000001;  // instruction cache enabled
    int intLockLevel = 0;
    int taskLockLevel = 0;
    int cacheInvalidates = 0;
};

uint32_t vxMsrGet();
void vxMsrSet(uint32_t value);
void vxHid0Set(uint32_t value);
uint32_t vxL1CSR1Get();
void sysL1Csr1Set(uint32_t value);  // followed by a synchronisation
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
// Test control: the n-th malloc from now (1 = the next one) finds no memory.
void failMallocAt(long n);

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

// Host only: a note about the simulated board on the host's standard error
// (never on the board console).
void hostNote(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace plat
