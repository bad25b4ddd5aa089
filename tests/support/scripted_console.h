// The virtual clock and the scripted console of the tests.
//
// A console for tests: input is queued in advance (optionally at given virtual
// times, or in answer to text the boot program prints) and everything written
// is recorded, so a test reads like a terminal transcript. Waiting for input
// advances the virtual clock instead of sleeping.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"

namespace plat {

// Time that only moves when something waits: a 55-second time-out takes no
// real time at all.
class VirtualClock : public Clock {
  public:
    uint64_t nowUs() override { return now_; }
    void sleepUs(uint64_t us) override { now_ += us; }
    bool isVirtual() const override { return true; }
    void advanceTo(uint64_t us) {
        if (us > now_) now_ = us;
    }

  private:
    uint64_t now_ = 0;
};

class ScriptedConsole : public ConsoleDevice {
  public:
    explicit ScriptedConsole(VirtualClock& clock) : clock_(clock) {}

    // Queues bytes that become readable at the current virtual time (after
    // what is already queued for now).
    void send(std::string_view bytes) { sendAt(clock_.nowUs(), bytes); }
    // Queues bytes that become readable `delayUs` after the current time.
    void sendAfter(uint64_t delayUs, std::string_view bytes) {
        sendAt(clock_.nowUs() + delayUs, bytes);
    }
    void sendAt(uint64_t atUs, std::string_view bytes);
    // When the output (from now on) contains `text`, queue `reply`. Answers
    // fire in the order they were given, each once.
    void answer(std::string_view text, std::string_view reply);

    // A peer program on the line: sees every byte written and may queue input.
    std::function<void(std::string_view written)> onWrite;
    // Called when a read finds nothing queued, before input counts as ended;
    // the peer may queue more (it may also advance the clock).
    std::function<void()> onStarve;

    const std::string& output() const { return out_; }
    // Output since the last call.
    std::string takeOutput();
    void clearOutput() {
        out_.clear();
        taken_ = 0;
    }
    size_t pendingInput() const;

    // Console state the boot program set.
    int baud() const { return speed_; }
    std::vector<int> baudHistory;
    int flushes = 0;
    bool failBaud = false;  // FIOBAUDRATE fails
    bool baudQueryUnsupported = false;

    int waitReadable(int64_t timeoutUs) override;
    long read(void* buf, size_t n) override;
    long write(const void* buf, size_t n) override;
    int options() const override { return opts_; }
    int setOptions(int opts) override {
        opts_ = opts;
        return 0;
    }
    int setBaud(int bps) override;
    int getBaud(int* bps) override;
    int flush(bool input, bool output) override;

  private:
    struct Chunk {
        uint64_t atUs;
        std::string bytes;
    };
    struct Answer {
        std::string text;
        std::string reply;
    };
    bool availableNow();
    bool nextTime(uint64_t* at) const;

    VirtualClock& clock_;
    std::deque<Chunk> in_;
    std::deque<Answer> answers_;
    size_t answerScan_ = 0;
    std::string out_;
    size_t taken_ = 0;
    int opts_ = OPT_TERMINAL;
    int speed_ = 9600;
};

}  // namespace plat
