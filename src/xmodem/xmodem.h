// The transfer command: XMODEM, XMODEM/CRC, XMODEM-1K, YMODEM batch, YMODEM-G
// and MODEM7 batch over the console.
#pragma once

#include <cstddef>
#include <cstdint>

// Runs one transfer described by a command-line-like text ("-cbrke name" to
// receive, "cbske name" to send). 0 on success, -1 on any failure.
int xmodem(const char* args);

// --- Shared by the command, the engines and the line layer -------------------

// Transfer settings, reset at every call of the command.
struct XferSettings {
    int32_t fileType;  // 't' text, 'b' binary
    int32_t receiveFlag;
    int32_t sendFlag;
    int32_t crcFlag;
    int32_t batchFlag;
    int32_t ymodemFlag;
    int32_t modem7Flag;
    int32_t ymodemGFlag;
    int32_t oneKFlag;
    int32_t canCanFlag;
    int32_t noEotCheckFlag;
    int32_t waitFlag;
    int32_t tipFlag;
    int32_t tooBusyFlag;
    int32_t logFlag;
    int32_t deleteLogFlag;
    int32_t debugLevel;
};

// Protocol bytes.
constexpr int SOH = 0x01;
constexpr int STX = 0x02;
constexpr int EOT = 0x04;
constexpr int ACK = 0x06;
constexpr int NAK = 0x15;
constexpr int CAN = 0x18;
constexpr int SUB = 0x1A;
constexpr int CRCCHR = 'C';
constexpr int GCHR = 'G';
constexpr int KCHR = 'K';
constexpr int MODEM7_ABORT = 'u';

constexpr size_t kNameSize = 256;     // receive name buffer, with the zero
constexpr size_t kSectorSize = 1024;  // largest block's data

// The transfer command's state in one record: its settings (reset at every
// call), the receive name buffer, the sector buffer and the counters that the
// command, the engines and the line layer share. The board's reset clears it.
struct XferState {
    XferSettings settings;
    // Name of the file being received; also the result of the name conversions.
    char name[kNameSize];
    // The name the receive command was given ("xmodem.in" when none): the one
    // existing file that a name received from the line may replace.
    char givenName[kNameSize];
    // Data bytes of the block being received or sent.
    uint8_t sector[kSectorSize];
    // Receive engine's per-file counters (readbuf advances the byte count).
    int32_t ymodemLength;
    int32_t ymodemLengthKnown;
    int32_t recvdBytes;
    // YMODEM batch pre-count of the command, consumed by the send engine.
    int32_t batchFileCount;
    int32_t batchByteCount;
    // Bytes left in getbyte's buffer; the send engine clears it per file.
    int32_t fileReadCount;
};
extern XferState xfer;

// Command-level helpers.
void xmhelp();
void xmodem_error(const char* message, int restore);
// Progress notes on standard error, printed only with the t option.
void tip(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
const char* prtype(int fileType);

// Engines. rfile: -1 failed, 0 done, 1 file of a batch done. sfile: -1 or 0;
// an empty name closes a batch.
int rfile(char* name);
int sfile(const char* name);
int send_name();
void unixify(char* name);
int cpm_unix(const char* name11);
void cpmify(const char* path);
void unix_cpm(const char* path);

// Line and timing layer.
void stopsig();
void setmodes();
void restoremodes(int reporting);
void onintr(int sig);
void getspeed();
void flushin();
void reallyflush();
void sendbyte(int byte);
void writebuf(const uint8_t* buf, size_t n);
int readbyte(int seconds);
// readbyte for an answer, on a line that may tell (plat::selectAnswer) that
// the other end flushed: it threw its answer away (kAnswerDropped), or what
// was sent to it and not read yet (kQuestionDropped).
constexpr int kAnswerDropped = -2;
constexpr int kQuestionDropped = -3;
int readanswer(int seconds);
int readbuf(int n, int seconds, int textMode, uint32_t* check, int* kept);
int getbyte(int fd, uint8_t* out);
long countnl(int fd);
const char* sectdisp(long sectors, int blockSize, int next);
// stream: 1 standard output, 2 standard error.
void projtime(long sectors, int stream);
void prtime(long sectors, int stream);

// CRC-16/XMODEM of a buffer (table driven, one lookup per byte).
uint16_t xmodemCrc(const uint8_t* data, size_t n);
extern const uint16_t xmodemCrcTable[256];
