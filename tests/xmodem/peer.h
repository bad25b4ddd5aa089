// Scripted peers on the console line for the transfer engines: a sender that
// feeds our receive engine and a receiver that answers our send engine. Both
// follow the published XMODEM/YMODEM/MODEM7 protocols and answer a short
// virtual time after each byte they see, so the engines' input flushes never
// swallow an answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/scripted_console.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace xmpeer {

constexpr char SOHc = 0x01, STXc = 0x02, EOTc = 0x04, ACKc = 0x06, NAKc = 0x15, CANc = 0x18,
               SUBc = 0x1A;

uint16_t crc16(const std::string& data);  // CRC-16/XMODEM, bitwise reference
uint8_t sum8(const std::string& data);

// A block as it travels: SOH/STX, number, complement, data, check.
std::string wireBlock(int number, const std::string& data, bool crc);
// Data of a YMODEM header: name, zero, fields, zero padding to `size`.
std::string ymodemHeader(const std::string& name, const std::string& fields, size_t size = 128);
// Splits data into blocks of `size`, padding the last with SUB.
std::vector<std::string> splitPadded(const std::string& data, size_t size);

// Sends items to our receive engine.
class SenderPeer {
  public:
    struct Item {
        enum Kind { Block, Eot } kind = Block;
        int number = 0;
        std::string data;
        bool header = false;  // the receiver asks again with a start character after its ACK
    };

    explicit SenderPeer(plat::ScriptedConsole& con);
    ~SenderPeer();

    void addBlock(int number, const std::string& data, bool header = false);
    void addEot();
    // Plain XMODEM file: blocks numbered from 1, then EOT.
    void addFile(const std::string& data, size_t blockSize);
    // YMODEM file: header, blocks, EOT.
    void addYmodemFile(const std::string& name, const std::string& data, size_t blockSize);
    void addYmodemEnd();

    // Changes a block's wire bytes for one transmission (0-based counts).
    std::function<void(size_t item, int attempt, std::string& wire)> tamper;
    int ignoreStarts = 0;  // start characters to let pass unanswered
    uint64_t delayUs = 1000;

    // What was seen.
    std::vector<std::pair<uint64_t, char>> written;  // time, byte
    int starts = 0;                                  // start characters seen
    std::string startLog;                            // 'C', 'N'(NAK) or 'G' per start
    size_t acked = 0;                                // items acknowledged
    bool done() const { return next_ >= items_.size(); }

  private:
    void onByte(char c);
    void sendItem(size_t index);
    void streamFrom(size_t index);

    plat::ScriptedConsole& con_;
    std::vector<Item> items_;
    std::vector<int> attempts_;
    size_t next_ = 0;  // item waiting for an answer / to send
    bool sentCurrent_ = false;
    bool waitStart_ = true;  // next item goes out on a start character
    bool crc_ = false;
    bool stream_ = false;
};

// Answers our send engine.
class ReceiverPeer {
  public:
    struct Block {
        int type = 0;  // SOH or STX
        int number = 0;
        std::string data;
        bool checkOk = false;
    };

    explicit ReceiverPeer(plat::ScriptedConsole& con);
    ~ReceiverPeer();

    // Sends the first start character(s) after `afterUs`.
    void start(const std::string& startChars, uint64_t afterUs = 1000);

    std::string startChars = "C";  // also sent after a YMODEM header and each file
    bool ymodem = false;
    bool modem7 = false;
    bool stream = false;  // YMODEM-G: no answer to blocks
    int ackEotAt = 1;     // ACK the n-th EOT of a file (0: never); NAK before it
    // Overrides the answer to a block: return the bytes to send ("" = none).
    std::function<std::string(const Block& b, size_t index)> answer;
    uint64_t delayUs = 1000;

    std::vector<Block> blocks;  // every block seen, retransmissions included
    std::vector<uint64_t> eotTimes;
    std::vector<std::string> modem7Names;
    bool batchClosed = false;
    std::string raw;  // everything written by the engine
    bool crc = true;

    // File contents collected from accepted data blocks (per file).
    std::vector<std::string> files;
    std::vector<std::string> headerNames;

  private:
    void onBytes(std::string_view s);
    void reply(const std::string& bytes);

    plat::ScriptedConsole& con_;
    std::string pending_;
    int eots_ = 0;
    int lastNumber_ = -1;
    bool expectHeader_ = true;
    bool newFile_ = true;
    enum class M7 { Idle, Name, Sum, Done } m7_ = M7::Idle;
    std::string m7name_;
};

// Pseudo-random bytes, the same for the same seed.
std::string pattern(size_t n, unsigned seed = 7);
inline std::string block128(char fill) {
    return std::string(128, fill);
}

// A board with the transfer command run as the boot program runs it.
class XmodemTest : public stktest::BoardTest {
  protected:
    int xm(const char* args) {
        int rc = -99;
        auto stop = tb.run([&] { rc = xmodem(args); });
        EXPECT_FALSE(stop.has_value());
        return rc;
    }
    std::string out() { return con().output(); }
    bool said(const std::string& message) {
        return out().find("\r\n" + message + "\n\r") != std::string::npos;
    }
};

}  // namespace xmpeer
