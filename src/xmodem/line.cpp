// Line and timing layer of the transfer command: transfer mode on the console,
// bytes and blocks with time-outs, buffered file reads and the progress texts.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "xmodem/xmodem.h"

namespace {

constexpr uint16_t crcEntry(int index) {
    uint16_t crc = uint16_t(index << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    return crc;
}

int savedOptions = 0;
int savedConsoleFd = 0;
bool consoleFdSaved = false;
plat::SignalHandler oldHandler = nullptr;

uint8_t fileReadBuf[1024];
uint8_t* fileReadPos = fileReadBuf;
char sectorText[32];

STK_RESET_HOOK {
    savedOptions = 0;
    savedConsoleFd = 0;
    consoleFdSaved = false;
    oldHandler = nullptr;
    fileReadPos = fileReadBuf;
    xfer.fileReadCount = 0;
    sectorText[0] = '\0';
}

}  // namespace

const uint16_t xmodemCrcTable[256] = {
#define R(i) crcEntry(i)
#define R8(i) R(i), R(i + 1), R(i + 2), R(i + 3), R(i + 4), R(i + 5), R(i + 6), R(i + 7)
#define R64(i) \
    R8(i), R8(i + 8), R8(i + 16), R8(i + 24), R8(i + 32), R8(i + 40), R8(i + 48), R8(i + 56)
    R64(0), R64(64), R64(128), R64(192)
#undef R64
#undef R8
#undef R
};

uint16_t xmodemCrc(const uint8_t* data, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i)
        crc = uint16_t(((crc << 8) & 0xFF00) ^ xmodemCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

// --- Line control -------------------------------------------------------------

void stopsig() {
    savedOptions = plat::ioctl(plat::kConsoleFd, plat::FIOGETOPTIONS, 0);
    plat::ioctl(plat::kConsoleFd, plat::FIOSETOPTIONS, savedOptions & ~plat::OPT_MON_TRAP);
}

void setmodes() {
    savedConsoleFd = plat::consoleFdGet();
    consoleFdSaved = true;
    plat::consoleFdSet(plat::kConsoleFd);
    plat::ioTaskStdSet(0, 0, plat::kConsoleFd);
    plat::ioctl(plat::kConsoleFd, plat::FIOSETOPTIONS, plat::OPT_RAW);
    if (plat::ioctl(plat::kConsoleFd, plat::FIOFLUSH, 0) < 0 && xfer.settings.tipFlag)
        plat::eprintf("Can't flush terminal queue\n");
    oldHandler = plat::sigvec15(onintr);
}

void restoremodes(int reporting) {
    if (plat::ioctl(plat::kConsoleFd, plat::FIOSETOPTIONS, savedOptions) < 0) {
        if (reporting)
            plat::printf("RESET - Can't restore normal TTY Params\n\r");
        else
            xmodem_error("RESET - Can't restore normal TTY Params", 0);
    }
    // Nothing to put back before the first entry to transfer mode.
    if (!consoleFdSaved) return;
    plat::ioTaskStdSet(0, 0, savedConsoleFd);
    plat::consoleFdSet(savedConsoleFd);
    plat::sigvec15(oldHandler);
}

void onintr(int /*sig*/) {
    xmodem_error("Kill signal; bailing out", 1);
}

void getspeed() {
    consoleBaudRate = -1;
    plat::ioctl(0, plat::SIO_BAUD_GET, reinterpret_cast<intptr_t>(&consoleBaudRate));
    // A speed of 0 or less would divide by zero in the delays and estimates.
    if (consoleBaudRate <= 0) consoleBaudRate = 9600;
}

void flushin() {
    plat::ioctl(0, plat::FIORFLUSH, 0);
}

void reallyflush() {
    flushin();
    while (readbyte(1) != -1) {
    }
}

// --- Bytes and blocks ---------------------------------------------------------

void sendbyte(int byte) {
    uint8_t b = uint8_t(byte);
    if (plat::conWrite(&b, 1) != 1) xmodem_error("Write error on stream", 1);
}

void writebuf(const uint8_t* buf, size_t n) {
    if (plat::conWrite(buf, n) != long(n)) xmodem_error("Write error on stream", 1);
}

int readbyte(int seconds) {
    if (plat::select(seconds, 0) <= 0) return -1;
    uint8_t b;
    if (plat::conRead(&b, 1) != 1) return -1;
    return b;
}

int readanswer(int seconds) {
    int ready = plat::selectAnswer(seconds);
    if (ready == plat::kPeerDroppedItsOutput) return kAnswerDropped;
    if (ready == plat::kPeerDroppedItsInput) return kQuestionDropped;
    if (ready != plat::kLineByte) return -1;
    uint8_t b;
    if (plat::conRead(&b, 1) != 1) return -1;
    return b;
}

int readbuf(int n, int seconds, int textMode, uint32_t* check, int* kept) {
    uint8_t local[kSectorSize];
    uint32_t value = 0;
    int keep = 0;
    bool endOfText = false;
    const bool crc = xfer.settings.crcFlag != 0;
    if (n < 0 || size_t(n) > kSectorSize) n = int(kSectorSize);
    int remaining = n;
    while (remaining > 0) {
        if (plat::select(seconds, 0) <= 0) return -1;
        long got = plat::conRead(local, size_t(remaining));
        if (got <= 0) continue;
        if (got > remaining) got = remaining;
        remaining -= int(got);
        for (long i = 0; i < got; ++i) {
            uint8_t b = local[i];
            ++xfer.recvdBytes;
            xfer.sector[keep] = b;
            if (crc)
                value = ((value << 8) & 0xFF00) ^ xmodemCrcTable[((value >> 8) ^ b) & 0xFF];
            else
                value = (value + b) & 0xFF;
            if (xfer.ymodemLengthKnown && xfer.recvdBytes > xfer.ymodemLength) continue;
            if (textMode) {
                xfer.sector[keep] &= 0x7F;
                if (endOfText || b == '\r' || b == 0) continue;
                if (b == SUB) {
                    endOfText = true;
                    continue;
                }
            }
            ++keep;
        }
    }
    *check = value;
    *kept = keep;
    return 0;
}

int getbyte(int fd, uint8_t* out) {
    if (xfer.fileReadCount == 0) {
        long got = plat::read(fd, fileReadBuf, sizeof fileReadBuf);
        if (got < 0) {
            xmodem_error("File Read Error", 1);
            got = 0;
        }
        xfer.fileReadCount = int32_t(got);
        fileReadPos = fileReadBuf;
    }
    if (--xfer.fileReadCount < 0) {
        // Stays negative: the file reads as ended until the count is reset.
        xfer.fileReadCount = -1;
        return -1;
    }
    *out = *fileReadPos++;
    return 0;
}

long countnl(int fd) {
    uint8_t buf[1024];
    long lines = 0;
    for (;;) {
        long got = plat::read(fd, buf, sizeof buf);
        if (got <= 0) break;
        for (long i = 0; i < got; ++i)
            if (buf[i] == '\n') ++lines;
    }
    plat::lseek(fd, 0, SEEK_SET);
    return lines;
}

// --- Display ------------------------------------------------------------------

const char* sectdisp(long sectors, int blockSize, int next) {
    long n = sectors;
    if (next) n += blockSize == 128 ? 1 : 8;
    if (blockSize == 128 || n == 0)
        std::snprintf(sectorText, sizeof sectorText, "%ld", n);
    else
        std::snprintf(sectorText, sizeof sectorText, "%ld-%ld", n - 7, n);
    return sectorText;
}

namespace {
int streamPrintf(int stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int streamPrintf(int stream, const char* fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return stream == 2 ? plat::eprintf("%s", text) : plat::printf("%s", text);
}
}  // namespace

void projtime(long sectors, int stream) {
    if (sectors == 0) return;
    long speed = consoleBaudRate > 0 ? consoleBaudRate : 9600;
    long long total = (long long)sectors * 1422 / speed + 1;
    int secs = int(total % 60);
    int mins = int((total / 60) % 60);
    int hours = int((total / 3600) % 24);
    streamPrintf(stream, "Estimated transmission time ");
    if (hours) streamPrintf(stream, "%d %s%c ", hours, "hour", hours == 1 ? ' ' : 's');
    if (mins) streamPrintf(stream, "%d %s%c ", mins, "minute", mins == 1 ? ' ' : 's');
    if (secs) streamPrintf(stream, "%d %s%c ", secs, "second", secs == 1 ? ' ' : 's');
    streamPrintf(stream, "\n\r");
}

void prtime(long sectors, int stream) {
    if (sectors == 0) return;
    streamPrintf(stream, "%ld Sectors Transfered in ", sectors);
    streamPrintf(stream, "0 seconds");
    streamPrintf(stream, "\n\r");
}
