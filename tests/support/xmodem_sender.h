// A scripted XMODEM sender on the other end of the console line. It waits
// until the receiver has announced itself, answers the receiver's start
// character with the first block, each ACK with the next block, each NAK with
// the same block again, and ends with EOT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/scripted_console.h"

namespace loadtest {

// CRC-16/XMODEM, bit by bit (an independent reference for the receiver's table).
uint16_t xmodemCrc(const uint8_t* data, size_t length);

class XmodemSender {
  public:
    // Blocks of `blockSize` (1024 or 128) data bytes; a final remainder of at
    // most 128 bytes travels in a 128-byte block, as common senders do.
    XmodemSender(plat::ScriptedConsole& con, std::string data, size_t blockSize = 1024);
    ~XmodemSender();
    XmodemSender(const XmodemSender&) = delete;
    XmodemSender& operator=(const XmodemSender&) = delete;

    // Answer the start character with CAN CAN instead of a block.
    void cancelAtStart() { cancel_ = true; }
    // Send a YMODEM header block 0 with this name and length first.
    void ymodemHeader(std::string name, long length) {
        headerName_ = std::move(name);
        headerLength_ = length;
        header_ = true;
    }

    bool finished() const { return state_ == State::Done && eotAcked_; }
    int naks() const { return naks_; }
    // Data as the receiver stores it: every block whole, padded with SUB.
    std::string padded() const;

  private:
    enum class State { Idle, WaitStart, WaitHeaderAck, Sending, WaitEotAck, WaitBatchEnd, Done };
    void seen(std::string_view written);
    void handle(uint8_t c);
    void sendBlock(size_t index);
    void sendHeader(bool empty = false);
    void sendFrame(uint8_t number, const std::string& payload);

    plat::ScriptedConsole& con_;
    std::string data_;
    std::vector<std::pair<size_t, size_t>> blocks_;  // offset, size
    State state_ = State::Idle;
    std::string announced_;
    size_t next_ = 0;
    bool cancel_ = false;
    bool header_ = false;
    bool batch_ = false;  // a YMODEM batch: closed by an empty header
    std::string headerName_;
    long headerLength_ = 0;
    bool eotAcked_ = false;
    int naks_ = 0;
};

}  // namespace loadtest
