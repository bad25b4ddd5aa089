// The board's console UART: the 16550 at CCSR+0x4500 with its 16-byte FIFOs.
// UartLine is the raw line under the console's software line discipline;
// the functions below it serve start-up and the fault report, which print
// before (or without) any object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/clock.h"
#include "platform/raw_line.h"

namespace ppce {

namespace uart {
// Sets 8 data bits, no parity, one stop bit, FIFOs on, interrupts off, and
// the divisor for bps from the UART's input clock. false (nothing changed)
// when the divisor cannot make bps within 2 %.
bool init(uint32_t clockHz, int bps);
// Changes only the divisor (interrupts, FIFOs and their contents stay).
bool setSpeed(uint32_t clockHz, int bps);
// The divisor for bps, or 0 when no 16-bit divisor makes it within 2 %.
uint32_t divisorFor(uint32_t clockHz, int bps);
// Polled output for start-up and faults: waits for room, never for a reader.
void putByte(uint8_t byte);
void putText(const char* text);  // "\n" goes out as "\r\n"
void putHex(uint32_t value, int digits);
void drain();  // until the transmitter is empty (LSR.TEMT)
bool byteReady();
}  // namespace uart

class UartLine : public plat::RawLine {
  public:
    // clock: for waitByte's time-out; clockHz: the UART's input clock.
    UartLine(plat::Clock& clock, uint32_t clockHz) : clock_(clock), clockHz_(clockHz) {}
    bool waitByte(int64_t timeoutUs) override;
    size_t readSome(uint8_t* buf, size_t n) override;
    bool writeAll(const uint8_t* buf, size_t n) override;
    void drain() override;
    void discardInput() override;
    int setBaud(int bps) override;
    int getBaud(int* bps) override;

  private:
    plat::Clock& clock_;
    uint32_t clockHz_;
    int bps_ = 0;  // the speed last set; 0 until then
};

}  // namespace ppce
