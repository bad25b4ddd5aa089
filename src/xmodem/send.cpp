// Send engine: one file per call, or the closing of a YMODEM or MODEM7 batch
// when the name is empty.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "xmodem/xmodem.h"

namespace {

// Closes the file on every way out of the engine.
struct FileGuard {
    int fd = -1;
    ~FileGuard() {
        if (fd >= 0) plat::close(fd);
    }
};

constexpr int kStartCharLimit = 120;
constexpr int kMaxTransmissions = 10;
constexpr int kEotTries = 11;
constexpr int kEotAcceptedTries = 5;

class Sender {
  public:
    explicit Sender(const char* name) : name_(name), closing_(name[0] == '\0') {}
    int run();

  private:
    int waitStartChar();
    int waitDataStart();
    void buildHeader();
    bool fillData();
    int sendBlock();
    int finish();
    // A CAN answered by a second CAN within 3 seconds cancels the send.
    bool cancelledByCanCan() {
        if (readbyte(3) != CAN) return false;
        xmodem_error("Send Canceled by CAN-CAN", 1);
        return true;
    }

    const char* name_;
    bool closing_;
    FileGuard file_;
    long size_ = 0;
    long sectors_ = 0;
    int blockSize_ = 128;
    bool oneKWanted_ = false;
    bool nameSent_ = false;
    long blockNum_ = 1;
    // Times the current block has been sent; until the next block goes out it
    // is the previous block's count, which the header's start wait clears.
    int transmissions_ = 0;
    long sectorsSent_ = 0;
    bool carriedLf_ = false;
    bool endReached_ = false;
    uint8_t block_[3 + kSectorSize + 2];
    size_t blockLen_ = 0;
};

int Sender::run() {
    XferSettings& s = xfer.settings;
    s.ymodemGFlag = 0;
    s.crcFlag = 0;
    xfer.fileReadCount = 0;
    if (closing_) {
        if (!s.batchFlag) {
            for (int i = 0; i < 3; ++i) sendbyte(CAN);
            xmodem_error("NULL file name in send", 1);
            return -1;
        }
        tip("Closing down Batch Transmission\n");
    } else {
        tip("----\nXMODEM Send Function\n");
        file_.fd = plat::open(name_, plat::kOpenRead);
        if (file_.fd < 0) {
            for (int i = 0; i < 3; ++i) sendbyte(CAN);
            xmodem_error("Can't open file for send", 1);
            return -1;
        }
        plat::Stat st;
        size_ = plat::fstat(file_.fd, &st) == 0 ? long(st.size) : 0;
        if (s.fileType == 't') size_ += countnl(file_.fd);
        sectors_ = size_ / 128 + 1;
        tip("File Name: %s\n\r", name_);
        tip("File Size %ldK, %ld Records, %ld Bytes\n\r", size_ / 1024 + 1, sectors_, size_);
        if (s.tipFlag) projtime(sectors_, 2);
    }
    if (s.oneKFlag) {
        blockSize_ = 1024;
        if (!closing_) tip("1K packet mode chosen on command line\n");
    }
    oneKWanted_ = s.oneKFlag != 0;

    for (;;) {
        if (waitStartChar() != 0) return -1;
        if (!s.modem7Flag) break;
        if (closing_) {
            sendbyte(ACK);
            sendbyte(EOT);
            flushin();
            readbyte(2);
            return 0;
        }
        if (nameSent_) break;
        unix_cpm(name_);
        if (send_name() == 0) nameSent_ = true;
    }

    // A batch that is neither YMODEM nor MODEM7 has nothing to close.
    if (closing_ && !s.ymodemFlag) return 0;
    blockNum_ = 1;
    if (s.ymodemFlag) {
        blockNum_ = 0;
        blockSize_ = 128;
    }
    for (;;) {
        if (closing_ && s.ymodemFlag && blockNum_ == 1) return 0;
        if (!closing_ && s.ymodemFlag && blockNum_ == 1) {
            blockSize_ = oneKWanted_ ? 1024 : 128;
            if (waitDataStart() != 0) return -1;
        }
        if (blockSize_ == 1024) {
            if (transmissions_ > 5) {
                blockSize_ = 128;
                tip("Reducing packet size to 128 due to excessive errors\n");
            } else if (sectors_ - sectorsSent_ <= 7) {
                blockSize_ = 128;
                tip("Reducing packet size to 128 for tail end of file\n");
            }
        }
        if (blockNum_ == 0) {
            std::memset(xfer.sector, 0, sizeof xfer.sector);
            if (!closing_) buildHeader();
        } else if (!fillData()) {
            return finish();
        }
        int answer = sendBlock();
        if (answer != 0) return -1;
        if (blockNum_ != 0) {
            sectorsSent_ += blockSize_ == 128 ? 1 : 8;
            if (sectorsSent_ % 32 == 0)
                tip("Sector %s sent\n", sectdisp(sectorsSent_, blockSize_, 0));
        }
        if (endReached_) return finish();
        ++blockNum_;
    }
}

int Sender::waitStartChar() {
    XferSettings& s = xfer.settings;
    int count = 0;
    for (;;) {
        int c = readbyte(1);
        if (c == NAK) return 0;
        if (c == CRCCHR) {
            s.crcFlag = 1;
            if (!closing_) tip("Receiver invoked CRC mode\n");
            if (readbyte(1) == KCHR) {
                oneKWanted_ = true;
                tip("Receiver invoked 1K packet mode\n");
            }
            return 0;
        }
        if (c == GCHR) {
            s.canCanFlag = s.crcFlag = s.ymodemGFlag = 1;
            if (!closing_) tip("Receiver invoked YMODEM-G and CRC modes\n");
            return 0;
        }
        if (c == CAN) {
            if (cancelledByCanCan()) return -1;
            continue;
        }
        if (++count > kStartCharLimit) {
            if (s.modem7Flag && !nameSent_) {
                sendbyte(ACK);
                sendbyte(EOT);
            }
            xmodem_error("Remote System Not Responding", 1);
            return -1;
        }
    }
}

int Sender::waitDataStart() {
    transmissions_ = 0;
    for (;;) {
        int c = readbyte(2);
        if (c == CRCCHR || c == GCHR || c == NAK) {
            transmissions_ = 0;
            return 0;
        }
        if (c == CAN) {
            if (cancelledByCanCan()) return -1;
            continue;
        }
        if (++transmissions_ > 10) {
            xmodem_error("YMODEM protocol botch, C or G expected", 1);
            return -1;
        }
    }
}

void Sender::buildHeader() {
    cpmify(name_);
    plat::Stat st;
    if (plat::fstat(file_.fd, &st) != 0) st = plat::Stat{};
    size_t nameLen = std::strlen(xfer.name);
    std::memcpy(xfer.sector, xfer.name, nameLen + 1);
    char fields[128];
    int n = std::snprintf(fields, sizeof fields, "%lu %o %o 0 %d %ld 0", (unsigned long)size_,
                          unsigned(st.mtime), unsigned(st.mode), int(xfer.batchFileCount),
                          long(xfer.batchByteCount));
    if (n < 0) n = 0;
    size_t fieldLen = std::strlen(fields);
    std::memcpy(xfer.sector + nameLen + 1, fields, fieldLen + 1);
    size_t lastZero = nameLen + 1 + fieldLen;
    blockSize_ = lastZero >= 125 ? 1024 : 128;
    xfer.sector[blockSize_ - 2] = uint8_t(sectors_ & 0xFF);
    xfer.sector[blockSize_ - 1] = uint8_t((sectors_ >> 8) & 0xFF);
    --xfer.batchFileCount;
    xfer.batchByteCount -= int32_t(size_);
    if (xfer.batchFileCount == 0 || xfer.batchByteCount < 0) xfer.batchByteCount = 0;
}

bool Sender::fillData() {
    const bool text = xfer.settings.fileType == 't';
    int count = 0;
    if (carriedLf_) {
        xfer.sector[count++] = '\n';
        carriedLf_ = false;
    }
    while (count < blockSize_) {
        uint8_t b;
        if (getbyte(file_.fd, &b) != 0) {
            if (count == 0) return false;
            std::memset(xfer.sector + count, SUB, size_t(blockSize_ - count));
            endReached_ = true;
            return true;
        }
        if (text && b == '\n') {
            xfer.sector[count++] = '\r';
            if (count == blockSize_) {
                carriedLf_ = true;
                break;
            }
        }
        xfer.sector[count++] = b;
    }
    return true;
}

int Sender::sendBlock() {
    XferSettings& s = xfer.settings;
    size_t n = size_t(blockSize_);
    block_[0] = uint8_t(n == 128 ? SOH : STX);
    block_[1] = uint8_t(blockNum_ & 0xFF);
    block_[2] = uint8_t(~blockNum_ & 0xFF);
    std::memcpy(block_ + 3, xfer.sector, n);
    if (s.crcFlag) {
        uint16_t crc = xmodemCrc(xfer.sector, n);
        block_[3 + n] = uint8_t(crc >> 8);
        block_[4 + n] = uint8_t(crc & 0xFF);
        blockLen_ = n + 5;
    } else {
        uint8_t sum = 0;
        for (size_t i = 0; i < n; ++i) sum = uint8_t(sum + xfer.sector[i]);
        block_[3 + n] = sum;
        blockLen_ = n + 4;
    }
    transmissions_ = 0;
    for (;;) {
        // Stale input goes before the block does. On the board the block is
        // still leaving the UART when the flush runs, so no answer to it can
        // be lost; on a host line the whole block may be gone and answered
        // before the write returns, and flushing after it would throw the ACK
        // away and cost a 10-second time-out.
        if (!s.ymodemGFlag) flushin();
        writebuf(block_, blockLen_);
        ++transmissions_;
        if (s.ymodemGFlag) break;
        int c = readbyte(10);
        if (c == ACK) break;
        if (c == -1) {
            tip("Timeout on sector %s\n", sectdisp(sectorsSent_, blockSize_, 1));
            tip("Non-ACK on sector %s\n", sectdisp(sectorsSent_, blockSize_, 1));
        } else if (c == CAN) {
            if (s.canCanFlag) {
                if (cancelledByCanCan()) return -1;
            } else {
                tip("ignored CAN on sector %s\n", sectdisp(sectorsSent_, blockSize_, 1));
            }
        } else if (c == NAK) {
            tip("NAK on sector %s\n", sectdisp(sectorsSent_, blockSize_, 1));
        } else {
            tip("Non-ACK on sector %s\n", sectdisp(sectorsSent_, blockSize_, 1));
        }
        if (transmissions_ >= kMaxTransmissions) {
            for (int i = 0; i < 5; ++i) sendbyte(CAN);
            xmodem_error("Too many errors in transmission", 1);
            return -1;
        }
    }
    return 0;
}

int Sender::finish() {
    for (int attempt = 1; attempt <= kEotTries; ++attempt) {
        if (attempt >= 3) tip("EOT not ACKed, try %d\n", attempt - 1);
        sendbyte(EOT);
        // A receiver answers the EOT with ACK and ends. On a pseudo-terminal
        // its program's end flushes the line, which may throw that ACK away
        // before it is read here; the line tells, and that stands for the ACK
        // (every block was acknowledged already). A flush of its input after
        // the EOT was sent threw the EOT away unread: it goes again at once.
        // A serial line never tells.
        int answer = readanswer(15);
        if (answer == kQuestionDropped) continue;
        if (answer == ACK || answer == kAnswerDropped) {
            if (attempt > kEotAcceptedTries) break;
            if (file_.fd >= 0) plat::close(file_.fd);
            file_.fd = -1;
            if (xfer.settings.tipFlag) {
                plat::eprintf("Send Complete\n");
                prtime(sectorsSent_, 2);
            }
            return 0;
        }
    }
    xmodem_error("Remote System Not Responding on Completion", 1);
    return -1;
}

}  // namespace

int sfile(const char* name) {
    Sender sender(name ? name : "");
    return sender.run();
}

int send_name() {
    char name[13];
    std::memcpy(name, xfer.name, 11);
    name[11] = char(SUB);
    name[12] = '\0';
    int sum = 0;
    for (int i = 0; i < 12; ++i) sum += static_cast<unsigned char>(name[i]);
    sum &= 0xFF;
    sendbyte(ACK);
    sendbyte(static_cast<unsigned char>(name[0]));
    for (int i = 1; i < 12; ++i) {
        int c = readbyte(15);
        if (c != ACK) {
            if (c == -1)
                tip("Timeout while sending MODEM7 filename\n");
            else
                tip("Error while sending MODEM7 filename\n");
            sendbyte(MODEM7_ABORT);
            return -1;
        }
        sendbyte(static_cast<unsigned char>(name[i]));
    }
    int check = readbyte(16);
    if (check == sum) {
        sendbyte(ACK);
        return 0;
    }
    tip("Bad checksum while sending MODEM7 filename\n");
    sendbyte(MODEM7_ABORT);
    return -1;
}

void cpmify(const char* path) {
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    size_t n = 0;
    for (; base[n] && n < kNameSize - 1; ++n) {
        char c = base[n];
        if (c == ':')
            c = '/';
        else if (std::isupper(static_cast<unsigned char>(c)))
            c = char(std::tolower(c));
        xfer.name[n] = c;
    }
    xfer.name[n] = '\0';
}

void unix_cpm(const char* path) {
    char out[12];
    std::memset(out, ' ', 11);
    out[11] = '\0';
    const char* p = std::strrchr(path, '/');
    p = p ? p + 1 : path;
    while (*p == '.') ++p;
    int i = 0;
    while (i < 8 && *p && *p != '.') out[i++] = *p++;
    while (*p && *p != '.') ++p;
    while (*p == '.') ++p;
    for (int k = 0; k < 3 && *p && *p != '.'; ++k) out[8 + k] = *p++;
    for (int k = 0; k < 11; ++k) {
        char c = char(out[k] & 0x7F);
        if (std::islower(static_cast<unsigned char>(c))) c = char(std::toupper(c));
        if (c == ':') c = '/';
        out[k] = c;
    }
    std::memcpy(xfer.name, out, 12);
}
