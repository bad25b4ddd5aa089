// Event log records built from the documented byte layout, independent of the
// log's own encoder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "eventlog/eventlog.h"
#include "support/test_board.h"

namespace logtest {

inline std::string be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// Type, 32-byte file field (blank padded), line, task, code, time.
inline std::string eventRecord(uint32_t type, const std::string& file, int32_t line, uint32_t task,
                               uint32_t code, uint32_t time) {
    std::string field = file.substr(0, 32);
    field.resize(32, ' ');
    return be32(type) + field + be32(uint32_t(line)) + be32(task) + be32(code) + be32(time);
}

// Type, srr0, srr1, msr, dsisr, dar, time, 24 bytes not read.
inline std::string exceptionRecord(uint32_t type, uint32_t srr0, uint32_t srr1, uint32_t msr,
                                   uint32_t dsisr, uint32_t dar, uint32_t time) {
    return be32(type) + be32(srr0) + be32(srr1) + be32(msr) + be32(dsisr) + be32(dar) + be32(time) +
           std::string(24, '\x5A');
}

inline std::string freeRecords(size_t n) {
    return std::string(n * 52, '\xFF');
}

constexpr uint32_t kLogSize = 16384;
constexpr size_t kRecords = 315;
constexpr size_t kUsedBytes = kRecords * 52;  // 16380

// A log of n distinct event records followed by free records up to 16384 bytes.
inline std::string logOf(size_t n, const std::string& tail = "") {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += eventRecord(1, "file" + std::to_string(i) + ".c", int32_t(i), 0x2000, uint32_t(i),
                         uint32_t(1000 + i));
    s += freeRecords(kRecords - n);
    return s + tail;
}

// Byte-exact comparison that reports the first difference instead of both
// (long, binary) texts.
inline ::testing::AssertionResult sameBytes(const std::string& got, const std::string& want) {
    size_t n = std::min(got.size(), want.size());
    for (size_t i = 0; i < n; ++i)
        if (got[i] != want[i])
            return ::testing::AssertionFailure()
                   << "byte " << i << " (record " << i / 52 << ", offset " << i % 52 << ") is 0x"
                   << std::hex << (unsigned(uint8_t(got[i]))) << ", expected 0x"
                   << unsigned(uint8_t(want[i]));
    if (got.size() != want.size())
        return ::testing::AssertionFailure()
               << "size " << got.size() << ", expected " << want.size();
    return ::testing::AssertionSuccess();
}

inline std::string record(const std::string& log, size_t index) {
    return log.substr(index * 52, 52);
}

class LogTest : public stktest::BoardTest {
  protected:
    int init(uint32_t mode = 5) { return Log_Init(kLogSize, nullptr, mode, 2, 7); }
    std::string file() { return tb.readFile("log2.bin"); }
    std::string image() {
        return std::string(reinterpret_cast<const char*>(eventLogImage()), kLogSize);
    }
};

}  // namespace logtest
