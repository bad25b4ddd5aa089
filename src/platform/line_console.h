// The serial driver's terminal handling in software, for a line that has
// none of its own (the board's UART, the master side of a host
// pseudo-terminal): echo, carriage-return mapping and line mode as the
// console's option bits say.
#pragma once

#include <string>

#include "platform/console.h"
#include "platform/raw_line.h"

namespace plat {

class LineConsole : public ConsoleDevice {
  public:
    explicit LineConsole(RawLine& line) : line_(line) {}

    int waitReadable(int64_t timeoutUs) override;
    int waitReadableOrFlush(int64_t timeoutUs) override;
    long read(void* buf, size_t n) override;
    long write(const void* buf, size_t n) override;
    int options() const override { return opts_; }
    int setOptions(int opts) override;
    int setBaud(int bps) override { return line_.setBaud(bps); }
    int getBaud(int* bps) override { return line_.getBaud(bps); }
    int flush(bool input, bool output) override;
    void drain() override { line_.drain(); }

    // Longest line the editor keeps; what follows is dropped until the line ends.
    static constexpr size_t kMaxLine = 4096;

  private:
    // Reads what the line has (at least one byte) through the line editor.
    void pump();
    void echo(const char* s, size_t n);
    long take(void* buf, size_t n);

    RawLine& line_;
    int opts_ = OPT_TERMINAL;
    std::string editing_;  // line being edited (line mode)
    std::string ready_;    // bytes ready for read()
};

}  // namespace plat
