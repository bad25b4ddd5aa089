// The transfer command: argument splitting, options, checks, announcements
// and the receive and send loops around the engines.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "xmodem/xmodem.h"

XferSettings xferSettings;
char xmodemName[kNameSize];
char xmodemGivenName[kNameSize];
uint8_t sectorBuf[kSectorSize];
int32_t batchFileCount = 0;
int32_t batchByteCount = 0;

namespace {

constexpr size_t kArgText = 80;  // 79 characters and the zero
constexpr int kArgSlots = 20;    // command name, option word, names, end marker
constexpr int kMaxNames = kArgSlots - 3;

void resetSettings() {
    xferSettings = XferSettings{};
    xferSettings.fileType = 't';
}

STK_RESET_HOOK {
    resetSettings();
    std::memset(xmodemName, 0, sizeof xmodemName);
    std::memset(xmodemGivenName, 0, sizeof xmodemGivenName);
    std::memset(sectorBuf, 0, sizeof sectorBuf);
    batchFileCount = 0;
    batchByteCount = 0;
}

void sleepMs(long ms) {
    plat::nanosleep(ms / 1000, (ms % 1000) * 1000000L);
}

long speed() {
    return consoleBaudRate > 0 ? consoleBaudRate : 9600;
}
void receiveSettle() {
    sleepMs(2048000L / speed());
}
void sendSettle() {
    sleepMs(4096000L / speed());
}

void cancelHint() {
    if (!xferSettings.tipFlag)
        plat::printf("Send several Control-X characters to cancel before transfer starts.\n\r");
}

void readOptions(const char* word) {
    XferSettings& s = xferSettings;
    for (const char* p = word; *p; ++p) {
        switch (std::tolower(static_cast<unsigned char>(*p))) {
            case '-':
                break;
            case 'b':
                s.fileType = 'b';
                break;
            case 'c':
                s.crcFlag = 1;
                break;
            case 'd':
                s.deleteLogFlag = 1;
                break;
            case 'e':
                s.noEotCheckFlag = 1;
                break;
            case 'g':
                s.ymodemFlag = s.ymodemGFlag = s.canCanFlag = s.crcFlag = 1;
                break;
            case 'k':
                s.oneKFlag = 1;
                break;
            case 'l':
                s.logFlag = 0;
                break;
            case 'm':
                s.batchFlag = s.modem7Flag = 1;
                break;
            case 'n':
                s.canCanFlag = 1;
                break;
            case 'p':
                s.tipFlag = 1;
                break;
            case 'r':
                s.receiveFlag = 1;
                break;
            case 's':
                s.sendFlag = 1;
                break;
            case 't':
                s.tooBusyFlag = 1;
                break;
            case 'w':
                s.waitFlag = 1;
                break;
            case 'x':
                s.debugLevel = s.debugLevel == 1 ? 2 : 1;
                break;
            case 'y':
                s.batchFlag = s.ymodemFlag = 1;
                break;
            default:
                plat::printf("Invalid Flag %c ignored\n\r", *p);
                break;
        }
    }
}

int receiveLoop() {
    if (xferSettings.waitFlag) plat::sleep(15);
    receiveSettle();
    setmodes();
    std::memcpy(xmodemGivenName, xmodemName, sizeof xmodemGivenName);
    int result;
    do {
        result = rfile(xmodemName);
    } while (result == 1);
    flushin();
    restoremodes(0);
    plat::sleep(5);
    return result == 0 ? 0 : -1;
}

int sendOne(const char* name) {
    plat::Stat st;
    if (plat::stat(name, &st) != 0) {
        xmodem_error("Can't find requested file", 1);
        return -1;
    }
    long size = long(st.size);
    if (size == 0) {
        xmodem_error("Requested file size is 0", 1);
        return -1;
    }
    long sectors = size / 128 + 1;
    plat::printf("File %s Ready to SEND", name);
    plat::printf(" in %s mode\n\r", prtype(xferSettings.fileType));
    plat::printf("Estimated File Size %ldK, %ld Sectors, %ld Bytes\n\r", size / 1024 + 1, sectors,
                 size);
    projtime(sectors, 1);
    cancelHint();
    sendSettle();
    setmodes();
    int result = sfile(name);
    flushin();
    restoremodes(0);
    if (result == -1) return -1;
    plat::sleep(5);
    return 0;
}

int sendBatch(char** names, int count) {
    XferSettings& s = xferSettings;
    if (s.ymodemFlag) {
        batchFileCount = 0;
        batchByteCount = 0;
        for (int i = 0; i < count; ++i) {
            int fd = plat::open(names[i], plat::kOpenRead);
            if (fd < 0) continue;
            plat::Stat st;
            long size = plat::fstat(fd, &st) == 0 ? long(st.size) : 0;
            if (s.fileType == 't') size += countnl(fd);
            ++batchFileCount;
            batchByteCount += int32_t(size);
            plat::close(fd);
        }
        plat::printf("Ready to YMODEM xbatch SEND");
        plat::printf(" in %s mode\n\r", prtype(s.fileType));
    } else if (s.modem7Flag) {
        plat::printf("Ready to MODEM7 xbatch SEND");
        plat::printf(" in %s mode\n\r", prtype(s.fileType));
    }
    cancelHint();
    if (s.waitFlag) plat::sleep(15);
    sendSettle();
    setmodes();
    for (int i = 0; i < count; ++i) {
        plat::Stat st;
        if (plat::stat(names[i], &st) != 0) {
            if (s.tipFlag) plat::eprintf("\nFile %s not found\n", names[i]);
            continue;
        }
        int result = sfile(names[i]);
        flushin();
        if (result == -1) {
            restoremodes(0);
            return -1;
        }
    }
    sfile("");
    flushin();
    restoremodes(0);
    if (s.tipFlag) plat::eprintf("Batch Send Complete\n");
    plat::sleep(5);
    return 0;
}

}  // namespace

const char* prtype(int fileType) {
    switch (fileType) {
        case 't':
        case 'T':
            return "text";
        case 'b':
        case 'B':
            return "binary";
        default:
            return "";
    }
}

void xmodem_error(const char* message, int restore) {
    if (restore) restoremodes(1);
    plat::printf("\r\n%s\n\r", message);
}

void tip(const char* fmt, ...) {
    if (!xferSettings.tipFlag) return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    plat::eprintf("%s", text);
}

void xmhelp() {
    static const char* const kLines[] = {
        "Usage:  \txmodem ",
        " -[rb!rt!ra!sb!st!sa][options] filename... 0\n\r",
        "Major Commands --",
        "\n\r\trb <-- Receive Binary",
        "\n\r\trt <-- Receive Text",
        "\n\r\tra <-- Receive Apple macintosh text",
        "\n\r\tsb <-- Send Binary",
        "\n\r\tst <-- Send Text",
        "\n\r\tsa <-- Send Apple macintosh text",
        "\n\rOptions --",
        "\n\r\ty  <-- Use YMODEM Batch Mode on transmit",
        "\n\r\tg  <-- Select YMODEM-G Mode on receive",
        "\n\r\tm  <-- Use MODEM7 Batch Mode on transmit",
        "\n\r\tk  <-- Use 1K packets on transmit",
        "\n\r\tc  <-- Select CRC mode on receive",
        "\n\r\tt  <-- Indicate a TOO BUSY Unix system",
        "\n\r\td  <-- Delete xmodem.log file before starting",
        "\n\r\tl  <-- (ell) Turn OFF Log File Entries",
        "\n\r\tx  <-- Include copious debugging information in log file",
        "\n\r\tp  <-- Use with SunOS tip ~C command",
        "\n\r\tw  <-- Wait before initial handshake",
        "\n\r\te  <-- Supress EOT confirmation",
        "\n\r\tn  <-- Allow mid-transfer CAN-CAN aborts",
        "\n\r",
    };
    for (const char* line : kLines) plat::puts(line);
}

int xmodem(const char* args) {
    char text[kArgText];
    std::snprintf(text, sizeof text, "%s", args ? args : "");

    // Split at spaces; a run of spaces is one separator.
    char* argv[kArgSlots];
    int argc = 0;
    argv[argc++] = const_cast<char*>("xmodem");
    bool tooMany = false;
    for (char* p = text; *p;) {
        while (*p == ' ') *p++ = '\0';
        if (!*p) break;
        if (argc >= kArgSlots - 1) {
            tooMany = true;
            break;
        }
        argv[argc++] = p;
        while (*p && *p != ' ') ++p;
    }
    argv[argc] = nullptr;
    if (argc < 2) {
        xmhelp();
        return -1;
    }
    if (tooMany) {
        char message[96];
        std::snprintf(message, sizeof message,
                      "XMODEM Fatal Error - Too many file names (at most %d)", kMaxNames);
        xmodem_error(message, 0);
        return -1;
    }

    resetSettings();
    stopsig();
    readOptions(argv[1]);
    getspeed();

    XferSettings& s = xferSettings;
    int nameCount = argc - 2;
    char** names = argv + 2;
    if (s.receiveFlag && s.sendFlag) {
        xmodem_error("XMODEM Fatal Error- Both Send and Receive Functions Specified", 1);
        return -1;
    }
    if (s.modem7Flag && (s.ymodemFlag || s.ymodemGFlag)) {
        xmodem_error("XMODEM Fatal Error - Both YMODEM and MODEM7 Batch Protocols Specified", 1);
        return -1;
    }
    if (!s.receiveFlag && !s.sendFlag) {
        xmodem_error("XMODEM Fatal Error - Either Send or Receive Function must be chosen!", 1);
        return -1;
    }
    if (s.sendFlag && nameCount == 0) {
        xmodem_error("XMODEM Fatal Error - No file specified to send", 1);
        return -1;
    }

    if (s.receiveFlag) {
        if (nameCount == 0) {
            if (!s.crcFlag && !s.modem7Flag) s.crcFlag = 1;
            plat::printf("Ready for xbatch RECEIVE");
            plat::printf(" in %s mode\n\r", prtype(s.fileType));
            cancelHint();
            std::snprintf(xmodemName, sizeof xmodemName, "%s", "xmodem.in");
        } else {
            int fd = plat::open(names[0], plat::kOpenRead);
            if (fd >= 0) {
                plat::close(fd);
                plat::printf("Warning -- Target File Exists and is Being Overwritten\n\r");
            }
            plat::printf("Ready to RECEIVE File %s", names[0]);
            plat::printf(" in %s mode\n\r", prtype(s.fileType));
            cancelHint();
            std::memset(xmodemName, 0, sizeof xmodemName);
            std::snprintf(xmodemName, sizeof xmodemName, "%s", names[0]);
        }
        return receiveLoop();
    }
    if (!s.batchFlag) return sendOne(names[0]);
    return sendBatch(names, nameCount);
}
