// A serial line without a terminal driver of its own: the board's UART, or
// the master side of a host pseudo-terminal. The console's software line
// discipline (echo, carriage-return mapping, line mode) runs on top of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/console.h"

namespace plat {

class RawLine {
  public:
    virtual ~RawLine() = default;
    // Waits until a byte can be read: true, or false when timeoutUs passed
    // first (timeoutUs < 0 waits without limit). Time goes by the platform
    // clock.
    virtual bool waitByte(int64_t timeoutUs) = 0;
    // Like waitByte, but also ends when the other end flushed (see
    // LineWait). A pseudo-terminal tells when the program on its other side
    // flushes, as lrzsz does after each answer and as it ends; a serial line
    // cannot tell.
    virtual int waitByteOrFlush(int64_t timeoutUs) {
        return waitByte(timeoutUs) ? kLineByte : kLineTimedOut;
    }
    // Reads what has arrived, at least one byte (blocking). A UART's input
    // never ends; a host line whose input has ended for good does not return
    // (the simulation ends).
    virtual size_t readSome(uint8_t* buf, size_t n) = 0;
    // Queues all bytes for sending (blocking while the transmitter is full);
    // false when the line failed.
    virtual bool writeAll(const uint8_t* buf, size_t n) = 0;
    // Waits until every byte written has left the line.
    virtual void drain() = 0;
    // Discards input received and not yet read.
    virtual void discardInput() = 0;
    // Line speed in bits per second: setBaud returns -1 for a speed the line
    // cannot take; getBaud returns -1 (leaving *bps alone) when it cannot tell.
    virtual int setBaud(int bps) = 0;
    virtual int getBaud(int* bps) = 0;
};

}  // namespace plat
