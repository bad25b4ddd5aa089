// The serial service console: standard input (descriptor 0) and standard
// output (descriptor 1) of the boot task, and the console device's own
// descriptor. The boot routines reach it only through the plat:: calls below.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Console line speed in bits per second: set at start-up and by the Boot
// Menu, refreshed from the line by the transfer command.
extern int32_t consoleBaudRate;

namespace plat {

// Terminal option bits of the console device.
constexpr int OPT_ECHO = 0x01;
constexpr int OPT_CRMOD = 0x02;
constexpr int OPT_TANDEM = 0x04;
constexpr int OPT_7_BIT = 0x08;
constexpr int OPT_MON_TRAP = 0x10;
constexpr int OPT_ABORT = 0x20;
constexpr int OPT_LINE = 0x40;
constexpr int OPT_TERMINAL = 0x7f;
constexpr int OPT_RAW = 0;

// ioctl request codes of the kernel's terminal driver.
constexpr int FIOFLUSH = 2;
constexpr int FIOSETOPTIONS = 3;
constexpr int FIOBAUDRATE = 4;
constexpr int FIOGETOPTIONS = 19;
constexpr int FIORFLUSH = 26;
constexpr int SIO_BAUD_GET = 0x1004;

// Descriptor of the console device itself, as the kernel opened it.
constexpr int kConsoleFd = 3;

// How a wait on the line ended: a time-out, a byte to read, or a flush by the
// other end that threw bytes away: its own output before it was read here, or
// its input, what was sent from here and not read there yet.
enum LineWait {
    kLineTimedOut = 0,
    kLineByte = 1,
    kPeerDroppedItsOutput = 2,
    kPeerDroppedItsInput = 3,
};

class ConsoleDevice {
  public:
    virtual ~ConsoleDevice() = default;
    // Waits until input can be read: 1 readable, 0 time-out. timeoutUs < 0
    // waits without limit.
    virtual int waitReadable(int64_t timeoutUs) = 0;
    // Like waitReadable, but also ends when the other end of the line
    // flushed (LineWait); a line that cannot tell only waits.
    virtual int waitReadableOrFlush(int64_t timeoutUs) { return waitReadable(timeoutUs); }
    // Reads at least one byte (blocking). On a host line whose input has
    // ended for good it does not return (the simulation ends).
    virtual long read(void* buf, size_t n) = 0;
    // Writes all bytes; returns the count written or -1.
    virtual long write(const void* buf, size_t n) = 0;
    virtual int options() const = 0;
    virtual int setOptions(int opts) = 0;
    // Line speed in bits per second. setBaud returns -1 for an unsupported speed.
    virtual int setBaud(int bps) = 0;
    // Stores the speed; returns -1 (leaving *bps untouched) when it cannot tell.
    virtual int getBaud(int* bps) = 0;
    virtual int flush(bool input, bool output) = 0;
    // Waits until everything written has left the line.
    virtual void drain() {}
};

// --- Calls of the boot routines -------------------------------------------------

int printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintf(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
// Standard error goes to the same console line on the board.
int eprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int puts(const char* text);  // no line feed added
int putchar(int c);
void fflush();

// Reads a line into buf (at most size - 1 characters kept, the rest of a long
// line discarded); the line ends at carriage return or line feed, which is not
// stored. Returns buf, or nullptr when the input ended.
char* gets(char* buf, size_t size);

// select(1, {0}, NULL, NULL, timeout): 1 when descriptor 0 is readable, 0 on
// time-out. A null time-out (seconds < 0) waits without limit.
int select(long seconds, long microseconds);

// select() for an answer in transfer mode: a LineWait. Only a line that can
// tell (a pseudo-terminal, whose other side's program flushes) reports the
// other end's flushes; a serial line gives kLineByte or kLineTimedOut.
int selectAnswer(long seconds);

// Raw bytes from descriptor 0 / to descriptor 1 (read blocks for at least one
// byte; use select() first for a time-out).
long conRead(void* buf, size_t n);
long conWrite(const void* buf, size_t n);

// ioctl on the console (descriptor 0, 1 or the console descriptor). arg is
// the integer argument, or a pointer for FIOGETOPTIONS-like queries that store.
int ioctl(int fd, int request, intptr_t arg);

// Task standard input redirection and the board API's console descriptor.
int ioTaskStdSet(int task, int stdFd, int newFd);
// The console descriptor that the operational code is told about (0 until
// someone sets it; the transfer command points it at the console device).
int consoleFdGet();
void consoleFdSet(int fd);

}  // namespace plat
