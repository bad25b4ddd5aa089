// Receive engine: one file per call over XMODEM, XMODEM/CRC, XMODEM-1K,
// YMODEM (header block 0), YMODEM-G and MODEM7 batch.
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "xmodem/xmodem.h"

int32_t ymodemLength = 0;
int32_t ymodemLengthKnown = 0;
int32_t recvdBytes = 0;

namespace {

STK_RESET_HOOK {
    ymodemLength = 0;
    ymodemLengthKnown = 0;
    recvdBytes = 0;
}

// A name that came off the line may only name a file in the working
// directory: no separator, and not the directory itself or its parent.
bool nameStaysHere(const char* name) {
    if (!name[0] || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strchr(name, '/') == nullptr && std::strchr(name, '\\') == nullptr;
}

// A name from the line may replace the given one, but never name another
// file that is already on the volume (an image, the image list, the event
// log): receiving would truncate it at once and delete it on a failure.
bool nameIsFree(const char* name) {
    plat::Stat st;
    return std::strcmp(name, xmodemGivenName) == 0 || plat::stat(name, &st) != 0;
}

void sendStartChar(bool oneKAllowed) {
    sendbyte(CRCCHR);
    if (xferSettings.oneKFlag && oneKAllowed) sendbyte(KCHR);
}

// What the main loop does after handling one event.
enum class Step { Continue, Error, Fatal, Done };

class Receiver {
  public:
    explicit Receiver(char* name) : name_(name) {}
    int run();

  private:
    Step block(int first);
    Step header(int blockSize);
    Step modem7Name();
    Step endOfFile(int* pending);
    Step cancelCheck();
    Step timeout();
    Step error();
    int fatalEnd();
    Step refuseName();
    void dropUnfilledFile();
    bool createFile();
    bool readCheck(uint32_t computed, uint32_t* sent);
    void closeFile() {
        if (fd_ >= 0) plat::close(fd_);
        fd_ = -1;
    }

    char* name_;
    bool text_ = false;
    int blockSize_ = 128;
    long sectors_ = 0;
    int lastBlock_ = 0;
    int fd_ = -1;
    int readTimeout_ = 1;
    int timeouts_ = 0;
    int errors_ = 0;
    int startups_ = 0;
    bool fatal_ = false;
    bool canIgnored_ = false;
    bool modem7NameSeen_ = false;
    int result_ = -1;
};

bool Receiver::createFile() {
    if (fd_ >= 0) return true;
    fd_ = plat::creat(name_, 0);
    if (fd_ >= 0) return true;
    for (int i = 0; i < 3; ++i) sendbyte(CAN);
    xmodem_error("Can't create file for receive", 1);
    return false;
}

// Ends the call on a name from the line that may not be created, before
// anything is created or truncated.
Step Receiver::refuseName() {
    for (int i = 0; i < 3; ++i) sendbyte(CAN);
    char message[kNameSize + 64];
    if (nameStaysHere(name_))
        std::snprintf(message, sizeof message, "File %s already exists, not received", name_);
    else
        std::snprintf(message, sizeof message, "Can't create file for receive");
    xmodem_error(message, 1);
    result_ = -1;
    return Step::Done;
}

// The file that an earlier header of this call created and that has no data
// yet goes when a new name arrives (the header came again, or another name):
// a cancel deletes only the file the transfer is writing.
void Receiver::dropUnfilledFile() {
    if (fd_ < 0) return;
    closeFile();
    plat::unlink(name_);
}

bool Receiver::readCheck(uint32_t computed, uint32_t* sent) {
    if (xferSettings.crcFlag) {
        int hi = readbyte(3);
        int lo = hi < 0 ? -1 : readbyte(3);
        if (hi < 0 || lo < 0) {
            *sent = 0;
            return false;
        }
        *sent = uint32_t(hi << 8 | lo);
        return *sent == (computed & 0xFFFF);
    }
    int sum = readbyte(3);
    if (sum < 0) {
        *sent = 0;
        return false;
    }
    *sent = uint32_t(sum);
    return *sent == (computed & 0xFF);
}

int Receiver::run() {
    XferSettings& s = xferSettings;
    s.batchFlag = 0;
    ymodemLength = 0;
    ymodemLengthKnown = 0;
    recvdBytes = 0;
    text_ = s.fileType == 't';
    if (s.tipFlag) {
        plat::eprintf("----\nXMODEM File Receive Function\n");
        if (s.crcFlag) plat::eprintf("CRC mode requested on command line\n");
        if (s.ymodemGFlag) plat::eprintf("YMODEM-G mode requested on command line\n");
    }
    flushin();
    if (s.ymodemGFlag)
        sendbyte(GCHR);
    else if (s.crcFlag && !s.modem7Flag)
        sendStartChar(true);
    else
        sendbyte(NAK);

    int pending = -2;  // a byte already read that the loop must act on; -2: none
    for (;;) {
        int c = pending != -2 ? pending : readbyte(readTimeout_);
        pending = -2;
        Step step = Step::Continue;
        switch (c) {
            case SOH:
            case STX:
                timeouts_ = 0;
                step = block(c);
                break;
            case EOT:
                timeouts_ = 0;
                step = endOfFile(&pending);
                break;
            case ACK:
                timeouts_ = 0;
                if (sectors_ == 0) step = modem7Name();
                break;
            case CAN:
                if (canIgnored_) break;
                timeouts_ = 0;
                step = cancelCheck();
                break;
            case -1:
                step = timeout();
                break;
            default:
                break;
        }
        if (step == Step::Error) step = error();
        if (step == Step::Fatal) return fatalEnd();
        if (step == Step::Done) return result_;
    }
}

Step Receiver::block(int first) {
    XferSettings& s = xferSettings;
    blockSize_ = first == STX ? 1024 : 128;
    if (sectors_ == 0) {
        if (first == STX) tip("1K packet mode chosen\n");
        errors_ = 0;
        readTimeout_ = 5;
    }
    int number = readbyte(3);
    int complement = number < 0 ? -1 : readbyte(3);
    if (number < 0 || complement < 0 || number + complement != 255) {
        tip("Header Sector Number Error on Sector %s\n", sectdisp(sectors_, blockSize_, 1));
        if (s.ymodemGFlag)
            fatal_ = true;
        else
            reallyflush();
        return Step::Error;
    }
    if (number == ((lastBlock_ + 1) & 0xFF)) {
        // Data block: below.
    } else if (number == 0 && sectors_ == 0) {
        return header(blockSize_);
    } else if (number == lastBlock_) {
        tip("Duplicate sector %s flushed\n", sectdisp(sectors_, blockSize_, 0));
        if (s.ymodemGFlag) {
            fatal_ = true;
            return Step::Error;
        }
        reallyflush();
        sendbyte(ACK);
        return Step::Continue;
    } else {
        tip("Phase Error - Expected packet is %s\n", sectdisp(sectors_, blockSize_, 1));
        fatal_ = true;
        return Step::Error;
    }

    int32_t countBefore = recvdBytes;
    uint32_t check = 0;
    int kept = 0;
    if (readbuf(blockSize_, 1, text_, &check, &kept) != 0) {
        tip("Timeout while reading sector %s\n", sectdisp(sectors_, blockSize_, 1));
        recvdBytes = countBefore;
        if (s.ymodemGFlag) fatal_ = true;
        return Step::Error;
    }
    uint32_t sent = 0;
    if (!readCheck(check, &sent)) {
        tip("Checksum Error on Sector %s:  ", sectdisp(sectors_, blockSize_, 1));
        tip("sent=%x  ", unsigned(sent));
        tip("recvd=%x\n", unsigned(check));
        recvdBytes = countBefore;
        if (s.ymodemGFlag) fatal_ = true;
        return Step::Error;
    }

    if (!s.canCanFlag) canIgnored_ = true;
    if (fd_ < 0) {
        if (!createFile()) {
            result_ = -1;
            return Step::Done;
        }
        if (!s.batchFlag) tip("File Name: %s\n", name_);
    }
    if (kept > 0 && plat::write(fd_, sectorBuf, size_t(kept)) != kept) {
        closeFile();
        plat::unlink(name_);
        xmodem_error("File Write Error", 1);
        result_ = -1;
        return Step::Done;
    }
    sectors_ += blockSize_ == 128 ? 1 : 8;
    if (sectors_ % 32 == 0) tip("Sector %s received\n", sectdisp(sectors_, blockSize_, 0));
    if (!s.ymodemGFlag) {
        flushin();
        sendbyte(ACK);
    }
    lastBlock_ = number;
    errors_ = 0;
    return Step::Continue;
}

Step Receiver::header(int blockSize) {
    XferSettings& s = xferSettings;
    tip("YMODEM Batch Protocol\n");
    // A header read again must not be cut by the length of an earlier one.
    ymodemLengthKnown = 0;
    ymodemLength = 0;
    recvdBytes = 0;
    uint32_t check = 0;
    int kept = 0;
    if (readbuf(blockSize, 1, 0, &check, &kept) != 0) {
        tip("Timeout while reading filename packet\n");
        if (s.ymodemGFlag) fatal_ = true;
        return Step::Error;
    }
    uint32_t sent = 0;
    if (!readCheck(check, &sent)) {
        tip("checksum error on filename sector\n");
        if (s.ymodemGFlag) fatal_ = true;
        return Step::Error;
    }

    dropUnfilledFile();
    const char* block = reinterpret_cast<const char*>(sectorBuf);
    size_t nameLen = strnlen(block, size_t(blockSize));
    if (nameLen >= kNameSize) {
        for (int i = 0; i < 3; ++i) sendbyte(CAN);
        xmodem_error("File name in YMODEM header too long (over 255 characters)", 1);
        result_ = -1;
        return Step::Done;
    }
    std::memcpy(name_, block, nameLen);
    name_[nameLen] = '\0';
    s.ymodemFlag = 1;
    s.batchFlag = 1;
    if (nameLen == 0) {
        flushin();
        sendbyte(ACK);
        tip("YMODEM Batch Receive Complete\n");
        result_ = 0;
        return Step::Done;
    }
    unixify(name_);

    // The fields after the name's zero, kept inside the block.
    char fields[kSectorSize + 1] = {};
    if (nameLen + 1 < size_t(blockSize))
        std::memcpy(fields, block + nameLen + 1, size_t(blockSize) - nameLen - 1);
    long length = 0, bytesLeft = 0;
    unsigned long modTime = 0;
    unsigned mode = 0, serial = 0;
    int filesLeft = 0, fileKind = 0;
    std::sscanf(fields, "%ld%lo%o%o%d%ld%d", &length, &modTime, &mode, &serial, &filesLeft,
                &bytesLeft, &fileKind);
    // A negative or out-of-range length cannot be trusted: treat it as unknown.
    if (length < 0 || length > INT32_MAX) length = 0;
    ymodemLength = int32_t(length);
    recvdBytes = 0;
    if (length != 0) ymodemLengthKnown = 1;

    tip("YMODEM file name: %s\n", name_);
    if (length) tip("YMODEM file size: %ld\n", length);
    if (filesLeft) {
        tip("YMODEM %d file(s) left to receive ", filesLeft);
        tip("containing %ld bytes\n", bytesLeft);
    }

    if (!nameStaysHere(name_) || !nameIsFree(name_)) return refuseName();
    if (!createFile()) {
        result_ = -1;
        return Step::Done;
    }
    if (s.ymodemGFlag) {
        sendbyte(GCHR);
    } else {
        flushin();
        sendbyte(ACK);
        if (s.crcFlag)
            sendStartChar(true);
        else
            sendbyte(NAK);
    }
    readTimeout_ = 1;
    startups_ = 0;
    return Step::Continue;
}

Step Receiver::modem7Name() {
    tip("MODEM7 Batch Protocol\n");
    char name[12] = {};
    int sum = 0;
    for (int i = 0; i < 11; ++i) {
        int c = readbyte(3);
        if (c == CAN) {
            if (readbyte(3) == CAN) {
                xmodem_error("Program Canceled by CAN-CAN", 1);
                result_ = -1;
                return Step::Done;
            }
            tip("Received single CAN character in MODEM7 filename\n");
            return Step::Error;
        }
        if (c == EOT && i == 0) {
            sendbyte(ACK);
            tip("MODEM7 Batch Receive Complete\n");
            result_ = 0;
            return Step::Done;
        }
        if (c == -1) {
            tip("Timeout waiting for MODEM7 filename character\n");
            return Step::Error;
        }
        if (c == MODEM7_ABORT) {
            tip("Error during MODEM7 filename transfer\n");
            return Step::Error;
        }
        sectorBuf[i] = uint8_t(c);
        name[i] = char(c);
        sum += c;
        sendbyte(ACK);
    }
    if (readbyte(3) != SUB) {
        tip("Length error in MODEM7 filename\n");
        return Step::Error;
    }
    sendbyte((sum + SUB) & 0xFF);
    if (readbyte(15) != ACK) {
        tip("Checksum error in MODEM7 filename\n");
        return Step::Error;
    }
    if (name[0] == '\0') {
        // The sender now waits for our start character: cancel it first.
        sendbyte(CAN);
        sendbyte(CAN);
    }
    dropUnfilledFile();
    if (cpm_unix(name) != 0) {
        result_ = -1;
        return Step::Done;
    }
    if (name_ != xmodemName) std::snprintf(name_, kNameSize, "%s", xmodemName);
    if (!nameStaysHere(name_) || !nameIsFree(name_)) return refuseName();
    modem7NameSeen_ = true;
    xferSettings.batchFlag = 1;
    tip("MODEM7 file name: %s\n", name_);
    plat::sleep(2);
    errors_ = 0;
    return Step::Continue;
}

Step Receiver::endOfFile(int* pending) {
    if (!xferSettings.noEotCheckFlag) {
        flushin();
        sendbyte(NAK);
        int c = readbyte(5);
        if (c != EOT) {
            tip("Spurious EOT detected; ignored\n");
            bool acted = c == SOH || c == STX || c == -1 || (c == ACK && sectors_ == 0) ||
                         (c == CAN && !canIgnored_);
            if (!acted) return Step::Error;
            *pending = c;
            return Step::Continue;
        }
    }
    closeFile();
    sendbyte(ACK);
    if (xferSettings.tipFlag) {
        plat::eprintf("Receive Complete\n");
        prtime(sectors_, 1);
    }
    result_ = xferSettings.batchFlag ? 1 : 0;
    return Step::Done;
}

Step Receiver::cancelCheck() {
    int c = readbyte(3);
    if (c >= 0 && (c & 0x7F) == CAN) {
        if (fd_ >= 0) {
            closeFile();
            plat::unlink(name_);
            xmodem_error("Reception Canceled by CAN-CAN; partial file deleted", 1);
        } else {
            xmodem_error("Reception Canceled by CAN-CAN", 1);
        }
        result_ = -1;
        return Step::Done;
    }
    tip("Received single CAN character\n");
    timeouts_ = 0;
    return Step::Error;
}

Step Receiver::timeout() {
    if (sectors_ > 0) tip("Timeout on Sector %s\n", sectdisp(sectors_, blockSize_, 1));
    if (timeouts_++ == 9) {
        closeFile();
        xmodem_error("ABORTED -- Remote system is not sending file", 1);
        result_ = -1;
        return Step::Done;
    }
    return Step::Error;
}

Step Receiver::error() {
    XferSettings& s = xferSettings;
    if (fatal_) return Step::Fatal;
    if (sectors_ == 0) {
        if (++startups_ > 59) return Step::Fatal;
        if (!s.crcFlag) {
            if (startups_ == 30 && !s.ymodemFlag) {
                s.crcFlag = 1;
                tip("Sender not accepting checksum request, changing to CRC\n");
                sendStartChar(!s.modem7Flag);
            } else {
                sendbyte(NAK);
            }
        } else if (s.modem7Flag && !modem7NameSeen_) {
            sendbyte(NAK);
        } else if (startups_ == 30 && !s.ymodemFlag) {
            s.crcFlag = 0;
            tip("Sender not accepting CRC request, changing to checksum\n");
            sendbyte(NAK);
        } else if (s.ymodemGFlag) {
            sendbyte(GCHR);
        } else {
            sendStartChar(!s.modem7Flag);
        }
        readTimeout_ = startups_ + 1;
        return Step::Continue;
    }
    if (++errors_ <= 9) {
        reallyflush();
        sendbyte(NAK);
        return Step::Continue;
    }
    return Step::Fatal;
}

int Receiver::fatalEnd() {
    if (fd_ >= 0) {
        for (int i = 0; i < 5; ++i) sendbyte(CAN);
        closeFile();
        plat::unlink(name_);
        reallyflush();
        xmodem_error("ABORTED -- Too Many Errors -- Deleting File", 1);
        return -1;
    }
    reallyflush();
    xmodem_error("ABORTED -- Remote system is not responding", 1);
    return -1;
}

}  // namespace

int rfile(char* name) {
    Receiver receiver(name);
    return receiver.run();
}

void unixify(char* name) {
    size_t n = 0;
    for (char* p = name; *p; ++p, ++n) {
        // Both separators become ':' so the name stays in the working directory.
        if (*p == '/' || *p == '\\')
            *p = ':';
        else if (std::isupper(static_cast<unsigned char>(*p)))
            *p = char(std::tolower(*p));
    }
    if (n > 0 && name[n - 1] == '.') name[n - 1] = '\0';
}

int cpm_unix(const char* name11) {
    char work[12];
    for (int i = 0; i < 11; ++i) work[i] = name11[i];
    work[11] = '\0';
    if (work[0] == '\0') {
        xmodem_error("Null file name in MODEM7 batch receive", 1);
        return -1;
    }
    for (int i = 0; i < 11; ++i) {
        char c = char(work[i] & 0x7F);
        if (std::isupper(static_cast<unsigned char>(c))) c = char(std::tolower(c));
        if (c == '/' || c == '\\') c = ':';
        work[i] = c;
    }
    size_t out = 0;
    for (int i = 0; i < 8 && work[i] != ' ' && work[i] != '\0'; ++i) xmodemName[out++] = work[i];
    bool extension = false;
    for (int i = 8; i < 11; ++i)
        if (work[i] != ' ' && work[i] != '\0') extension = true;
    if (extension) {
        xmodemName[out++] = '.';
        for (int i = 8; i < 11 && work[i] != ' ' && work[i] != '\0'; ++i)
            xmodemName[out++] = work[i];
    }
    xmodemName[out] = '\0';
    return 0;
}
