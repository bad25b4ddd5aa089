// The virtual clock and the scripted console of the tests.
//
// Input is queued in advance (optionally at given virtual times, or in answer
// to text the boot program prints) and everything written is recorded, so a
// test reads like a terminal transcript. Waiting for input advances the
// virtual clock instead of sleeping.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/host/board.h"

namespace plat {

// Time that only moves when something waits: a 55-second time-out takes no
// real time at all.
class VirtualClock : public Clock {
  public:
    uint64_t nowUs() override { return now_; }
    void sleepUs(uint64_t us) override { now_ += us; }
    bool isVirtual() const override { return true; }
    void advanceTo(uint64_t us) { now_ = us > now_ ? us : now_; }

  private:
    uint64_t now_ = 0;
};

class ScriptedConsole : public ConsoleDevice {
  public:
    explicit ScriptedConsole(VirtualClock& clock) : clock_(clock) {}

    // Queues bytes readable at the current virtual time, or `delayUs` later
    // (after what is already queued for that time).
    void send(std::string_view bytes) { sendAfter(0, bytes); }
    void sendAfter(uint64_t delayUs, std::string_view bytes) {
        auto later = [](uint64_t t, const auto& chunk) { return t < chunk.first; };
        uint64_t at = clock_.nowUs() + delayUs;
        if (!bytes.empty())
            in_.emplace(std::upper_bound(in_.begin(), in_.end(), at, later), at, bytes);
    }
    // When the output (from now on) contains `text`, queue `reply`. Answers
    // fire in the order they were given, each once.
    void answer(std::string_view text, std::string_view reply) {
        if (answers_.empty()) answerScan_ = out_.size();
        answers_.emplace_back(text, reply);
    }

    // A peer program on the line: sees every byte written and may queue input.
    std::function<void(std::string_view written)> onWrite;
    // Called when a read finds nothing queued, before input counts as ended;
    // the peer may queue more (it may also advance the clock).
    std::function<void()> onStarve;

    const std::string& output() const { return out_; }
    // Output since the last call.
    std::string takeOutput() { return out_.substr(std::exchange(taken_, out_.size())); }
    void clearOutput() { out_.clear(), taken_ = 0; }

    // The n-th read from now (1 = the next one) fails, as on a line in error.
    void failReadAt(long n) { failReadAt_ = n; }

    // Console state the boot program set.
    int baud() const { return speed_; }
    bool failBaud = false;  // FIOBAUDRATE fails

    int waitReadable(int64_t timeoutUs) override {
        uint64_t deadline = timeoutUs < 0 ? UINT64_MAX : clock_.nowUs() + uint64_t(timeoutUs);
        for (int starve = 0;; ++starve) {
            if (!in_.empty()) clock_.advanceTo(std::min(in_.front().first, deadline));
            if (!in_.empty()) return readyNow() ? 1 : 0;
            // A peer may queue more input or let time pass; else input has ended.
            uint64_t before = clock_.nowUs();
            if (onStarve && starve < 1000 && (onStarve(), !in_.empty() || clock_.nowUs() != before))
                continue;
            if (timeoutUs < 0) throw BoardStop{BoardStop::Kind::EndOfInput};
            clock_.advanceTo(deadline);
            return 0;
        }
    }
    long read(void* buf, size_t n) override {
        if (n == 0) return 0;
        if (failReadAt_ > 0 && --failReadAt_ == 0) return -1;
        waitReadable(-1);
        std::string& bytes = in_.front().second;
        size_t k = std::min(n, bytes.size());
        std::memcpy(buf, bytes.data(), k);
        bytes.erase(0, k);
        if (bytes.empty()) in_.pop_front();
        return long(k);
    }
    long write(const void* buf, size_t n) override {
        std::string_view s(static_cast<const char*>(buf), n);
        out_.append(s);
        for (size_t at; !answers_.empty() &&
                        (at = out_.find(answers_.front().first, answerScan_)) != std::string::npos;
             answers_.pop_front()) {
            answerScan_ = at + answers_.front().first.size();
            send(answers_.front().second);
        }
        if (onWrite) onWrite(s);
        return long(n);
    }
    int options() const override { return opts_; }
    int setOptions(int opts) override { return opts_ = opts, 0; }
    int setBaud(int bps) override {
        static const int kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
        if (failBaud || std::find(std::begin(kRates), std::end(kRates), bps) == std::end(kRates))
            return -1;
        return speed_ = bps, 0;
    }
    int getBaud(int* bps) override { return *bps = speed_, 0; }
    int flush(bool input, bool /*output*/) override {
        // Only what has already arrived is discarded; later input still comes.
        while (input && readyNow()) in_.pop_front();
        return 0;
    }

  private:
    bool readyNow() const { return !in_.empty() && in_.front().first <= clock_.nowUs(); }

    VirtualClock& clock_;
    std::deque<std::pair<uint64_t, std::string>> in_;  // ordered by time
    std::deque<std::pair<std::string, std::string>> answers_;
    size_t answerScan_ = 0;
    std::string out_;
    size_t taken_ = 0;
    long failReadAt_ = 0;
    int opts_ = OPT_TERMINAL;
    int speed_ = 9600;
};

}  // namespace plat
