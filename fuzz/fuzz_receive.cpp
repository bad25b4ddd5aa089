// The receive engine: the transfer command receiving "xcode.bin" from a
// sender whose bytes are the input, on the virtual clock.
//
// Input: one byte choosing the protocol form, then segments of line bytes.
// A segment starts with a byte h: h & 0x3F data bytes follow; with bit 7
// (0x80) the segment goes on from the previous one as soon as the receiver
// waits for more; otherwise it is the sender's answer to the receiver's next
// protocol byte. Bit 6 (0x40) makes the segment arrive two seconds late.
#include <algorithm>
#include <string>

#include "support/fuzz_board.h"
#include "xmodem/xmodem.h"

namespace {

// The option letters of the form, one per bit of the first byte. Without
// 'b' the transfer is in text mode.
std::string receiveCommand(uint8_t form) {
    std::string options = "-r";
    if (form & 0x01) options += 'c';  // CRC
    if (form & 0x02) options += 'k';  // 1K blocks
    if (form & 0x04) options += 'e';  // first EOT accepted
    if (form & 0x08) options += 'y';  // YMODEM batch
    if (form & 0x10) options += 'g';  // YMODEM-G
    if (!(form & 0x20)) options += 'b';
    if (form & 0x40) options += 'n';  // CAN CAN cancels after the first block too
    if (form & 0x80) options += 'm';  // MODEM7 batch
    return options + "p xcode.bin";   // p: the progress notes as well
}

class Sender {
  public:
    Sender(plat::ScriptedConsole& con, const uint8_t* data, size_t size)
        : con_(con), at_(data), end_(data + size) {}

    bool continuationNext() const { return at_ < end_ && (*at_ & 0x80); }
    void sendSegment() {
        if (at_ >= end_) return;
        uint8_t h = *at_++;
        size_t length = std::min<size_t>(h & 0x3F, size_t(end_ - at_));
        std::string bytes(reinterpret_cast<const char*>(at_), length);
        at_ += length;
        if (h & 0x40)
            con_.sendAfter(2000000, bytes);
        else
            con_.send(bytes);
    }

  private:
    plat::ScriptedConsole& con_;
    const uint8_t* at_;
    const uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    plat::ScriptedConsole& con = stkfuzz::freshBoard();
    Sender sender(con, data + 1, size - 1);
    // Protocol bytes go out one at a time; messages are longer.
    con.onWrite = [&](std::string_view written) {
        if (written.size() == 1) sender.sendSegment();
    };
    con.onStarve = [&] {
        if (sender.continuationNext()) sender.sendSegment();
    };
    std::string command = receiveCommand(data[0]);
    stkfuzz::runOnBoard([&] {
        int rc = xmodem(command.c_str());
        FUZZ_CHECK(rc == 0 || rc == -1);
    });
    return 0;
}
