#include "support/scripted_console.h"

#include <algorithm>
#include <cstring>

#include "platform/board.h"

namespace plat {

void ScriptedConsole::sendAt(uint64_t atUs, std::string_view bytes) {
    if (bytes.empty()) return;
    // Keep the queue ordered by time; equal times keep their order.
    auto pos = std::upper_bound(in_.begin(), in_.end(), atUs,
                                [](uint64_t t, const Chunk& c) { return t < c.atUs; });
    in_.insert(pos, Chunk{atUs, std::string(bytes)});
}

void ScriptedConsole::answer(std::string_view text, std::string_view reply) {
    if (answers_.empty()) answerScan_ = out_.size();
    answers_.push_back(Answer{std::string(text), std::string(reply)});
}

std::string ScriptedConsole::takeOutput() {
    std::string s = out_.substr(taken_);
    taken_ = out_.size();
    return s;
}

size_t ScriptedConsole::pendingInput() const {
    size_t n = 0;
    for (const auto& c : in_) n += c.bytes.size();
    return n;
}

bool ScriptedConsole::availableNow() {
    return !in_.empty() && in_.front().atUs <= clock_.nowUs();
}

bool ScriptedConsole::nextTime(uint64_t* at) const {
    if (in_.empty()) return false;
    *at = in_.front().atUs;
    return true;
}

int ScriptedConsole::waitReadable(int64_t timeoutUs) {
    uint64_t deadline = timeoutUs < 0 ? UINT64_MAX : clock_.nowUs() + uint64_t(timeoutUs);
    for (int starve = 0;; ++starve) {
        if (availableNow()) return 1;
        uint64_t at;
        if (nextTime(&at)) {
            if (at <= deadline) {
                clock_.advanceTo(at);
                return 1;
            }
            clock_.advanceTo(deadline);
            return 0;
        }
        if (onStarve && starve < 1000) {
            size_t before = in_.size();
            uint64_t t = clock_.nowUs();
            onStarve();
            if (in_.size() != before || clock_.nowUs() != t) continue;
        }
        if (timeoutUs < 0) {
            BoardStop stop{BoardStop::Kind::EndOfInput};
            throw stop;
        }
        clock_.advanceTo(deadline);
        return 0;
    }
}

long ScriptedConsole::read(void* buf, size_t n) {
    if (n == 0) return 0;
    waitReadable(-1);
    Chunk& c = in_.front();
    size_t k = std::min(n, c.bytes.size());
    std::memcpy(buf, c.bytes.data(), k);
    c.bytes.erase(0, k);
    if (c.bytes.empty()) in_.pop_front();
    return long(k);
}

long ScriptedConsole::write(const void* buf, size_t n) {
    std::string_view s(static_cast<const char*>(buf), n);
    out_.append(s);
    while (!answers_.empty()) {
        size_t pos = out_.find(answers_.front().text, answerScan_);
        if (pos == std::string::npos) break;
        answerScan_ = pos + answers_.front().text.size();
        send(answers_.front().reply);
        answers_.pop_front();
    }
    if (onWrite) onWrite(s);
    return long(n);
}

int ScriptedConsole::setBaud(int bps) {
    baudHistory.push_back(bps);
    if (failBaud) return -1;
    switch (bps) {
        case 1200:
        case 2400:
        case 4800:
        case 9600:
        case 19200:
        case 38400:
        case 57600:
        case 115200:
        case 230400:
            speed_ = bps;
            return 0;
        default:
            return -1;
    }
}

int ScriptedConsole::getBaud(int* bps) {
    if (baudQueryUnsupported) return -1;
    *bps = speed_;
    return 0;
}

int ScriptedConsole::flush(bool input, bool /*output*/) {
    ++flushes;
    if (input) {
        // Only what has already arrived is discarded; later input still comes.
        while (availableNow()) in_.pop_front();
    }
    return 0;
}

}  // namespace plat
