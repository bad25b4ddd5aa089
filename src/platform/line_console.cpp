#include "platform/line_console.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"

namespace plat {

int LineConsole::waitReadable(int64_t timeoutUs) {
    uint64_t deadline = timeoutUs < 0 ? 0 : nowUs() + uint64_t(timeoutUs);
    for (;;) {
        if (!ready_.empty()) return 1;
        int64_t left = -1;
        if (timeoutUs >= 0) {
            uint64_t now = nowUs();
            left = now >= deadline ? 0 : int64_t(deadline - now);
        }
        if (!line_.waitByte(left)) return 0;
        if (!(opts_ & OPT_LINE)) return 1;
        // Line mode: readable once a whole line is in.
        pump();
    }
}

int LineConsole::waitReadableOrFlush(int64_t timeoutUs) {
    if (!ready_.empty() || (opts_ & OPT_LINE)) return waitReadable(timeoutUs);
    return line_.waitByteOrFlush(timeoutUs);
}

long LineConsole::take(void* buf, size_t n) {
    size_t k = std::min(n, ready_.size());
    std::memcpy(buf, ready_.data(), k);
    ready_.erase(0, k);
    return long(k);
}

long LineConsole::read(void* buf, size_t n) {
    if (n == 0) return 0;
    if (opts_ & OPT_LINE) {
        while (ready_.empty()) pump();
        return take(buf, n);
    }
    if (!ready_.empty()) return take(buf, n);
    auto* bytes = static_cast<uint8_t*>(buf);
    size_t r = line_.readSome(bytes, n);
    if (r == 0) return -1;
    if (opts_ & OPT_CRMOD)
        for (size_t i = 0; i < r; ++i)
            if (bytes[i] == '\r') bytes[i] = '\n';
    return long(r);
}

long LineConsole::write(const void* buf, size_t n) {
    const auto* p = static_cast<const uint8_t*>(buf);
    if (!(opts_ & OPT_CRMOD)) return line_.writeAll(p, n) ? long(n) : -1;
    // Line feeds go out as carriage return and line feed, in pieces between them.
    size_t from = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != '\n') continue;
        static const uint8_t kCrLf[2] = {'\r', '\n'};
        if (!line_.writeAll(p + from, i - from) || !line_.writeAll(kCrLf, 2)) return -1;
        from = i + 1;
    }
    return line_.writeAll(p + from, n - from) ? long(n) : -1;
}

int LineConsole::setOptions(int opts) {
    opts_ = opts;
    // Leaving line mode hands over what was typed so far.
    if (!(opts & OPT_LINE) && !editing_.empty()) {
        ready_ += editing_;
        editing_.clear();
    }
    return 0;
}

int LineConsole::flush(bool input, bool /*output*/) {
    if (input) {
        ready_.clear();
        editing_.clear();
        line_.discardInput();
    }
    return 0;
}

void LineConsole::echo(const char* s, size_t n) {
    if (opts_ & OPT_ECHO) line_.writeAll(reinterpret_cast<const uint8_t*>(s), n);
}

void LineConsole::pump() {
    uint8_t chunk[256];
    size_t r = line_.readSome(chunk, sizeof chunk);
    for (size_t i = 0; i < r; ++i) {
        char c = char(chunk[i]);
        if ((opts_ & OPT_CRMOD) && c == '\r') c = '\n';
        if (c == '\b' || c == 0x7f) {
            if (!editing_.empty()) {
                editing_.pop_back();
                echo("\b \b", 3);
            }
            continue;
        }
        if (c == '\n' || c == '\r') {
            bool crlf = c == '\n' && (opts_ & OPT_CRMOD);
            echo(crlf ? "\r\n" : c == '\n' ? "\n" : "\r", crlf ? 2 : 1);
            editing_.push_back(c);
            ready_ += editing_;
            editing_.clear();
            continue;
        }
        echo(&c, 1);
        if (editing_.size() < kMaxLine) editing_.push_back(c);
    }
}

}  // namespace plat
