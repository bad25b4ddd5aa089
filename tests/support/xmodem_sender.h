// The scripted peer on the console line for the transfer engines: a sender
// that feeds the receive engine (XMODEM, YMODEM, YMODEM-G, MODEM7 names) and a
// receiver that answers the send engine. Both follow the published protocols
// and answer a short virtual time after each byte they see in transfer mode,
// so the engines' input flushes never swallow an answer.
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

// A block as it travels: SOH/STX, number, complement, data, check.
std::string wireBlock(int number, const std::string& data, bool crc);
// Data of a YMODEM header: name, zero, fields, zero padding to `size`.
std::string ymodemHeader(const std::string& name, const std::string& fields, size_t size = 128);
// Test data written short: "a*128" is 128 'a', "#200" 200 seeded random
// bytes, '_' a SUB, '~' a NUL; any other character stands for itself.
std::string expand(const std::string& text);

// Hands a peer what the engine writes in transfer mode (raw line): only
// those bytes belong to the protocol. The peer's answers come a short
// virtual time later.
struct LineHook {
    LineHook(plat::ScriptedConsole& con, std::function<void(std::string_view)> fn) : con_(con) {
        con.onWrite = [this, fn](std::string_view s) {
            if (con_.options() == 0) fn(s);
        };
    }
    ~LineHook() { con_.onWrite = nullptr; }
    void say(const std::string& bytes) { con_.sendAfter(1000, bytes); }
    plat::ScriptedConsole& con_;
};

// Sends items to the receive engine.
class SenderPeer {
  public:
    // Block data, or the 11-character MODEM7 name; after a header's ACK the
    // receiver asks again with a start character.
    struct Item {
        enum Kind { Block, Eot, Name, BatchEnd } kind;
        int number;
        std::string data;
        bool header;
        int attempts;
    };

    explicit SenderPeer(plat::ScriptedConsole& console) : con(console) {}

    void addBlock(int number, const std::string& data, bool header = false) {
        items_.push_back({Item::Block, number, data, header, 0});
    }
    void addEot() { items_.push_back({Item::Eot, 0, "", false, 0}); }
    // Blocks from 1, the last padded with SUB, then EOT.
    void addFile(const std::string& data, size_t blockSize);
    void addYmodemEnd() { addBlock(0, std::string(128, '\0'), true); }
    void addName(const std::string& name11) { items_.push_back({Item::Name, 0, name11, false, 0}); }
    void addBatchEnd() { items_.push_back({Item::BatchEnd, 0, "", false, 0}); }

    // Changes an item's wire bytes for one transmission (0-based counts).
    std::function<void(size_t item, int attempt, std::string& wire)> tamper;
    int modem7AbortAt = -1;  // answer this name character's ACK with 'u' once

    plat::ScriptedConsole& con;
    std::string startLog;  // 'C', 'N' (NAK) or 'G' per start character
    bool done() const { return next_ >= items_.size(); }

  protected:
    std::vector<Item> items_;

  private:
    void onByte(char c);
    void onNameByte(char c);
    void sendItem(size_t index);

    size_t acked_ = 0, next_ = 0;  // next_: the item waiting for an answer or to be sent
    bool sentCurrent_ = false, waitStart_ = true, crc_ = false;
    int nameAt_ = -1;  // MODEM7 name characters sent, while a name is exchanged
    LineHook hook_{con, [this](std::string_view s) {
                       for (char c : s) onByte(c);
                   }};
};

// Answers the send engine.
class ReceiverPeer {
  public:
    struct Block {
        int type, number;  // type: SOH or STX
        std::string data;
        bool checkOk;
    };

    explicit ReceiverPeer(plat::ScriptedConsole& con) : con_(con) {}

    // Sends the first start character(s) half a second from now.
    void start(const std::string& chars) {
        crc = chars[0] == 'C' || chars[0] == 'G';
        startChars = chars;
        con_.sendAfter(500000, chars);
    }

    std::string startChars = "C";  // also sent after a YMODEM header and each file
    bool ymodem = false, modem7 = false, stream = false;  // stream: YMODEM-G, blocks unanswered
    int ackEotAt = 1;  // ACK the n-th EOT of a file (0: never); NAK before it
    int badSums = 0;   // MODEM7 name checksums to answer wrongly
    // The answer to the first `overrideCount` blocks instead of ACK or NAK.
    std::string overrideAnswer;
    size_t overrideCount = 0;

    std::vector<Block> blocks;       // every block seen, retransmissions included
    std::vector<std::string> files;  // contents from accepted data blocks, per file
    std::vector<std::string> headerNames, modem7Names;
    bool batchClosed = false, crc = true;

  private:
    void onBytes(std::string_view s);

    plat::ScriptedConsole& con_;
    std::string pending_;
    int eots_ = 0, lastNumber_ = -1;
    bool expectHeader_ = true;
    enum class M7 { Idle, Name, Sum } m7_ = M7::Idle;
    std::string m7name_;
    LineHook hook_{con_, [this](std::string_view s) { onBytes(s); }};
};

// A board with the transfer command run as the boot program runs it.
class XmodemTest : public stktest::BoardTest {
  protected:
    int xm(const char* args) {
        int rc = -99;
        auto stop = tb.run([&] { rc = xmodem(args); });
        EXPECT_FALSE(stop.has_value());
        return rc;
    }
};

}  // namespace xmpeer

namespace loadtest {

// An XMODEM/CRC sender of one file (optionally with a YMODEM header), for
// the loads that go through the transfer command.
class XmodemSender : public xmpeer::SenderPeer {
  public:
    XmodemSender(plat::ScriptedConsole& con, const std::string& data, size_t blockSize = 1024)
        : SenderPeer(con) {
        addFile(data, blockSize);
        for (const Item& it : items_) padded_ += it.data;
    }
    // Answer the start character with CAN CAN instead of a block.
    void cancelAtStart() {
        tamper = [](size_t item, int, std::string& w) { w = item ? w : "\x18\x18"; };
    }
    // Send a YMODEM header block 0 with this name and length first.
    void ymodemHeader(const std::string& name, long length) {
        std::string header = xmpeer::ymodemHeader(name, std::to_string(length));
        items_.insert(items_.begin(), {Item::Block, 0, header, true, 0});
        addYmodemEnd();
    }
    // Data as the receiver stores it: every block whole, padded with SUB.
    const std::string& padded() const { return padded_; }

  private:
    std::string padded_;
};

}  // namespace loadtest
