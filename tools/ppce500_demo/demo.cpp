// Demo operational code for the PowerPC board: a small program the boot
// program loads and starts, to show the whole chain on QEMU's ppce500 machine.
// It is entered as a routine with the start type as its argument, on the boot
// program's stack, with the boot program's address translation in place; it
// finds the processor's registers (UART, reset, GPIO) through that
// translation, so another boot loader that maps them elsewhere can start the
// same bytes. It says who it is, what the hand-off gave
// it (the start type, the interrupt bits of the machine state register,
// HID0), whether its own loaded bytes match the checksum built into it, and
// then powers the board off (the build for tests) or waits for a key and
// resets the board.
#include <cstddef>
#include <cstdint>

namespace {

// The processor's registers (CCSR) are at this physical address on QEMU's
// ppce500 machine; the boot program maps them at 0xF0000000.
constexpr uint64_t kCcsrPhys = 0xFE0000000ull;
constexpr uintptr_t kCcsrDefault = 0xF0000000;
constexpr uintptr_t kUartOffset = 0x4500;           // 16550, byte registers
constexpr uintptr_t kResetControlOffset = 0xE00B0;  // GUTS RSTCR
constexpr uintptr_t kGpioOffset = 0xFF000;          // pin 0 powers the board off
// Set at the entry; kept after the loaded bytes, outside their checksum.
uintptr_t ccsr;
constexpr uint8_t kLsrDataReady = 0x01, kLsrThrEmpty = 0x20, kLsrIdle = 0x40;
// Machine state register bits that let interrupts in: critical, external,
// machine check, debug.
constexpr uint32_t kMsrCe = 0x00020000, kMsrEe = 0x00008000, kMsrMe = 0x00001000,
                   kMsrDe = 0x00000200;

volatile uint8_t& reg(uintptr_t offset) {
    return *reinterpret_cast<volatile uint8_t*>(ccsr + offset);
}

template <unsigned N>
uint32_t spr() {
    uint32_t v;
    asm volatile("mfspr %0, %1" : "=r"(v) : "i"(N));
    return v;
}

// The virtual address of the processor's registers: the entry of the
// translation table (TLB1, 16 entries) that maps their physical address.
uintptr_t findCcsr() {
    for (uint32_t esel = 0; esel < 16; ++esel) {
        uint32_t mas0 = 0x10000000u | esel << 16;
        asm volatile("mtspr 624, %0; isync; tlbre; isync" : : "r"(mas0) : "memory");
        uint32_t mas1 = spr<625>(), mas2 = spr<626>(), mas3 = spr<627>(), mas7 = spr<944>();
        if (!(mas1 & 0x80000000u)) continue;
        uint64_t bytes = uint64_t(1024) << (2 * ((mas1 >> 8) & 0xF));
        uint64_t phys = uint64_t(mas7 & 0xF) << 32 | (mas3 & 0xFFFFF000u);
        if (kCcsrPhys >= phys && kCcsrPhys + 0x100000 <= phys + bytes)
            return uintptr_t((mas2 & 0xFFFFF000u) + (kCcsrPhys - phys));
    }
    return kCcsrDefault;
}

void putChar(char c) {
    while (!(reg(kUartOffset + 5) & kLsrThrEmpty)) {
    }
    reg(kUartOffset) = uint8_t(c);
}

void print(const char* s) {
    for (; *s; ++s) {
        if (*s == '\n') putChar('\r');
        putChar(*s);
    }
}

void printHex(uint32_t value) {
    print("0x");
    for (int shift = 28; shift >= 0; shift -= 4)
        putChar("0123456789abcdef"[(value >> shift) & 0xF]);
}

void printDecimal(int value) {
    char digits[12];
    int n = 0;
    uint32_t v = value < 0 ? uint32_t(-int64_t(value)) : uint32_t(value);
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v && n < 11);
    if (value < 0) putChar('-');
    while (n) putChar(digits[--n]);
}

void waitIdle() {
    while (!(reg(kUartOffset + 5) & kLsrIdle)) {
    }
}

uint32_t msr() {
    uint32_t v;
    asm volatile("mfmsr %0" : "=r"(v));
    return v;
}

}  // namespace

// The loaded bytes from the entry to the checksum word, and the checksum the
// build placed in that last word (a sum of the big-endian words before it,
// rotated left by one after each word, so that swapped words show too).
extern "C" const uint32_t __demo_start[];
extern "C" const uint32_t __demo_checksum[];

extern "C" __attribute__((section(".text.entry"), used)) void demoEntry(int startType) {
    ccsr = findCcsr();
    print("\n==================================================\n");
    print("  Demo operational code is running on the board.\n");
    print("  Start type: ");
    printDecimal(startType);
    print("\n");
    uint32_t m = msr();
    print("  MSR interrupt bits: CE ");
    printDecimal((m & kMsrCe) != 0);
    print(" EE ");
    printDecimal((m & kMsrEe) != 0);
    print(" ME ");
    printDecimal((m & kMsrMe) != 0);
    print(" DE ");
    printDecimal((m & kMsrDe) != 0);
    print(", HID0 ");
    printHex(spr<1008>());
    print("\n");
    uint32_t sum = 0;
    for (const uint32_t* p = __demo_start; p < __demo_checksum; ++p)
        sum = ((sum << 1) | (sum >> 31)) + *p;
    if (sum == *__demo_checksum) {
        print("  load checksum ok\n");
    } else {
        print("  load checksum wrong: built ");
        printHex(*__demo_checksum);
        print(", loaded bytes give ");
        printHex(sum);
        print("\n");
    }
    if (startType != 1) print("  unexpected start type: the boot program starts its code with 1\n");
    print("==================================================\n");
#ifdef STK_DEMO_POWER_OFF
    waitIdle();
    *reinterpret_cast<volatile uint32_t*>(ccsr + kGpioOffset + 0x00) =
        0x80000000u;  // pin 0 an output
    *reinterpret_cast<volatile uint32_t*>(ccsr + kGpioOffset + 0x08) = 0x80000000u;  // and high
    for (;;) {
    }
#else
    print("Press a key to reset the board.\n");
    while (!(reg(kUartOffset + 5) & kLsrDataReady)) {
    }
    waitIdle();
    *reinterpret_cast<volatile uint32_t*>(ccsr + kResetControlOffset) = 2;
    for (;;) {
    }
#endif
}
