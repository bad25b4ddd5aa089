#include "platform/ppce500/uart.h"

#include "platform/ppce500/memory_map.h"
#include "platform/ppce500/timebase.h"

namespace ppce {

namespace {

// Register offsets; divisor latches share 0 and 1 while LCR.DLAB is set.
constexpr uint32_t kRbrThr = 0, kIer = 1, kIirFcr = 2, kLcr = 3, kMcr = 4, kLsr = 5;
constexpr uint8_t kLsrDataReady = 0x01, kLsrThrEmpty = 0x20, kLsrTxEmpty = 0x40;
constexpr uint8_t kLcrDlab = 0x80, kLcr8N1 = 0x03;
constexpr uint8_t kFcrEnableClearBoth = 0xC7;  // FIFOs on, both cleared, receive trigger 14
constexpr uint8_t kFcrEnableClearRx = 0xC3;
constexpr uint8_t kMcrDtrRts = 0x03;
constexpr size_t kFifoDepth = 16;
constexpr uint64_t kPollGapUs = 10;

uint8_t reg(uint32_t offset) {
    return *reinterpret_cast<volatile uint8_t*>(uintptr_t(kUartBase + offset));
}

void setReg(uint32_t offset, uint8_t value) {
    *reinterpret_cast<volatile uint8_t*>(uintptr_t(kUartBase + offset)) = value;
    __asm__ volatile("mbar" : : : "memory");
}

// Under QEMU every register read takes the emulator's big lock, which its
// main loop needs to move bytes between the FIFOs and the host: a polling loop
// looks at the line only every few microseconds (time base reads are free).
void pollGap() {
    for (uint64_t until = timebaseUs() + kPollGapUs; timebaseUs() < until;) {
    }
}

}  // namespace

namespace uart {

uint32_t divisorFor(uint32_t clockHz, int bps) {
    if (bps <= 0 || clockHz == 0) return 0;
    uint64_t rate = uint64_t(16) * uint64_t(bps);
    uint64_t divisor = (uint64_t(clockHz) + rate / 2) / rate;
    if (divisor == 0 || divisor > 0xFFFF) return 0;
    // The speed the divisor really makes must be within 2 % of the one asked
    // for, or the far end sees framing errors.
    uint64_t made = uint64_t(clockHz) / (16 * divisor);
    uint64_t diff = made > uint64_t(bps) ? made - uint64_t(bps) : uint64_t(bps) - made;
    return diff * 50 <= uint64_t(bps) ? uint32_t(divisor) : 0;
}

bool setSpeed(uint32_t clockHz, int bps) {
    uint32_t divisor = divisorFor(clockHz, bps);
    if (divisor == 0) return false;
    setReg(kLcr, kLcrDlab);
    setReg(kRbrThr, uint8_t(divisor));
    setReg(kIer, uint8_t(divisor >> 8));
    setReg(kLcr, kLcr8N1);
    return true;
}

bool init(uint32_t clockHz, int bps) {
    setReg(kIer, 0);
    if (!setSpeed(clockHz, bps)) return false;
    setReg(kIirFcr, kFcrEnableClearBoth);
    setReg(kMcr, kMcrDtrRts);
    return true;
}

void putByte(uint8_t byte) {
    while (!(reg(kLsr) & kLsrThrEmpty)) {
    }
    setReg(kRbrThr, byte);
}

void putText(const char* text) {
    for (; *text; ++text) {
        if (*text == '\n') putByte('\r');
        putByte(uint8_t(*text));
    }
}

void putHex(uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i)
        putByte(uint8_t("0123456789abcdef"[(value >> (4 * i)) & 0xF]));
}

void drain() {
    while (!(reg(kLsr) & kLsrTxEmpty)) {
    }
}

bool byteReady() {
    return reg(kLsr) & kLsrDataReady;
}

}  // namespace uart

bool UartLine::waitByte(int64_t timeoutUs) {
    if (uart::byteReady()) return true;
    uint64_t start = clock_.nowUs();
    uint64_t deadline = timeoutUs < 0 ? UINT64_MAX : start + uint64_t(timeoutUs);
    while (!uart::byteReady()) {
        uint64_t now = clock_.nowUs();
        if (now >= deadline) return false;
        // Doze once the line has been quiet for a moment, so an idle console
        // costs the host little (see timebase.h).
        if (now - start >= kSpinBeforeDozeUs && deadline - now > kIdleTickUs) {
            idleTick();
        } else {
            pollGap();
        }
    }
    return true;
}

size_t UartLine::readSome(uint8_t* buf, size_t n) {
    if (n == 0) return 0;
    waitByte(-1);
    size_t got = 0;
    while (got < n && uart::byteReady()) buf[got++] = reg(kRbrThr);
    return got;
}

bool UartLine::writeAll(const uint8_t* buf, size_t n) {
    // THRE with the FIFO on means the whole transmit FIFO is empty: fill it.
    for (size_t done = 0; done < n;) {
        while (!(reg(kLsr) & kLsrThrEmpty)) pollGap();
        for (size_t k = 0; k < kFifoDepth && done < n; ++k) setReg(kRbrThr, buf[done++]);
    }
    return true;
}

void UartLine::drain() {
    uart::drain();
}

void UartLine::discardInput() {
    setReg(kIirFcr, kFcrEnableClearRx);
    while (uart::byteReady()) (void)reg(kRbrThr);
}

int UartLine::setBaud(int bps) {
    // Wait for the bytes already queued: a new divisor would garble them.
    // Bytes received stay in the FIFO.
    if (uart::divisorFor(clockHz_, bps) == 0) return -1;
    uart::drain();
    uart::setSpeed(clockHz_, bps);
    bps_ = bps;
    return 0;
}

int UartLine::getBaud(int* bps) {
    if (bps_ > 0) {
        *bps = bps_;
        return 0;
    }
    // Not set through this line yet: what the divisor latch makes.
    uint8_t lcr = reg(kLcr);
    setReg(kLcr, lcr | kLcrDlab);
    uint32_t divisor = reg(kRbrThr) | uint32_t(reg(kIer)) << 8;
    setReg(kLcr, uint8_t(lcr & ~kLcrDlab));
    if (divisor == 0 || clockHz_ == 0) return -1;
    *bps = int(clockHz_ / (16 * divisor));
    return 0;
}

}  // namespace ppce
