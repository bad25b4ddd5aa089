// The persistent event log and its text form, checked against records built
// from the documented byte layout rather than with the log's own encoder.
#include "eventlog/eventlog.h"

#include <optional>
#include <string>
#include <vector>

#include "eventlog/retrieve.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t kNow = 1234567890;
const char kTexts[] = "eventlog/console_texts.txt";

std::string be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
// Type, 32-byte blank-padded file field, line, task (the boot task), code, time.
std::string event(uint32_t type, std::string file, int32_t line, uint32_t code, uint32_t time) {
    file.resize(32, ' ');
    return be32(type) + file + be32(uint32_t(line)) + be32(0x1000) + be32(code) + be32(time);
}
// Type, srr0, srr1, msr, dsisr, dar, time, 24 bytes not read.
std::string fault(uint32_t type, uint32_t first, uint32_t time) {
    std::string r = be32(type);
    for (uint32_t i = 0; i < 5; ++i) r += be32(first + i * 0x11111111);
    return r + be32(time) + std::string(24, 'Z');
}
std::string freeRecords(size_t n) {
    return std::string(n * 52, '\xFF');
}
// n used records, then free records up to the 315 the log holds.
std::string logOf(size_t n, const std::string& records = "") {
    std::string s = records;
    for (size_t i = s.size() / 52; i < n; ++i)
        s += event(1, "f" + std::to_string(i) + ".c", int32_t(i), uint32_t(i), uint32_t(i));
    return s + freeRecords(315 - n);
}

class EventLog : public stktest::BoardTest {
  protected:
    int open(const std::optional<std::string>& file, uint32_t mode = 5) {
        if (file) tb.writeFile("log2.bin", *file);
        return Log_Init(16384, nullptr, mode, 2, 7);
    }
    std::string file() { return tb.readFile("log2.bin"); }
    std::string image() {
        return std::string(reinterpret_cast<const char*>(eventLogImage()), 16384);
    }
    std::string text() {
        EXPECT_EQ(convert_event_log_to_ascii(), 0);
        return tb.readFile("asciilog.bin");
    }
};

TEST_F(EventLog, StartUpKeepsAConsistentLogAndErasesAnyOther) {
    std::string gap = logOf(5);
    gap.replace(200 * 52, 52, event(2, "late.c", 1, 3, 4));
    const std::string tail = "TAIL" + std::string(100, 'q');
    struct Case {
        std::optional<std::string> before;
        uint32_t mode;
        std::string after;
        uint32_t next;
    } cases[] = {
        {std::nullopt, 5, "", 0},
        {logOf(10) + tail, 5, logOf(10) + tail, 10},
        {logOf(315) + tail, 5, freeRecords(315) + tail, 0},
        {gap, 5, freeRecords(315), 0},
        {gap, 6, gap, 0},
        {logOf(3).substr(0, 3 * 52), 5, logOf(3).substr(0, 3 * 52), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        plat::unlink("log2.bin");
        ASSERT_EQ(open(c.before, c.mode), 0);
        EXPECT_EQ(eventLogNextRecord(), c.next);
        // Memory holds what was read; whatever the file lacks is free.
        EXPECT_TRUE(image() == (c.after + freeRecords(316)).substr(0, 16384));
        // The log switched off never writes.
        if (c.mode == 6) log_event("x.c", 1, 1);
        EXPECT_TRUE(file() == c.after);
    }
}

TEST_F(EventLog, EntriesFillTheNextRecordAndAFullLogStartsAgain) {
    ASSERT_EQ(open(logOf(313)), 0);
    plat::clock_settime(kNow, 0);
    log_event("../../src/boot/startup.cpp", 42, 0xABCD);
    log_event(("C:\\build\\" + std::string(40, 'n')).c_str(), -5, 0xDEADBEEF);
    std::string full =
        logOf(315, logOf(313).substr(0, 313 * 52) + event(1, "startup.cpp", 42, 0xABCD, kNow) +
                       event(1, std::string(32, 'n'), -5, 0xDEADBEEF, kNow));
    EXPECT_TRUE(file() == full);
    EXPECT_EQ(eventLogNextRecord(), 315u);
    // At interrupt level nothing is stored, not even into a full log.
    log_event_int("int.c", 1, 1);
    uint8_t rec[52];
    event_log_entry_fill(2, "err.c", 7, 9, rec);
    add_flash_log_entry(rec, 1);
    EXPECT_TRUE(file() == full);
    add_flash_log_entry(rec, 0);
    EXPECT_TRUE(file() == logOf(1, event(2, "err.c", 7, 9, kNow)));
    // Without the file an entry stays in memory only, and the next one takes its place.
    plat::unlink("log2.bin");
    log_event("lost.c", 1, 1);
    EXPECT_FALSE(tb.exists("log2.bin"));
    tb.writeFile("log2.bin", "");
    log_event("ends/in/", 2, 2);
    EXPECT_TRUE(file() == logOf(2, event(2, "err.c", 7, 9, kNow) + event(1, "", 2, 2, kNow)));
    EXPECT_EQ(event_log_clear(), 0);
    EXPECT_TRUE(file() == freeRecords(315));
}

TEST_F(EventLog, TextShowsEveryKindOfRecordNewestFirstInWholeBlocks) {
    ASSERT_EQ(
        open(logOf(8, fault(3, 0x11111111, 90061) + fault(4, 0xFFF00100, 59) +
                          fault(0x300, 1, 86400 * 3 + 3600 * 23) + fault(0x1100, 0, 0) + be32(7) +
                          std::string(48, '\x07') + event(1, "first.c", 10, 0xA, 90061) +
                          event(2, std::string(32, 'Z'), -3, 0xFFFFFFFF, 0xFFFFFFFF) +
                          event(1, std::string("ab\0cd", 5), 1, 3, 4))),
        0);
    EXPECT_EQ(text(), stktest::readHostFile(STK_SOURCE_DIR "/tests/eventlog/golden.txt"));
}

// The transfer command's stand-in keeps its arguments and the file as sent.
stktest::TestBoard* board = nullptr;
std::vector<std::string> transfers;
int fakeTransfer(const char* args) {
    transfers.push_back(std::string(args) + ":" + board->readFile("asciilog.bin"));
    return transfers.size() == 1 ? 0 : -1;
}

TEST_F(EventLog, AnEmptyLogIsSentAsOneBlockAndAFullOneInMemoryOncePerRecord) {
    board = &tb;
    eventLogTransferSet(fakeTransfer);
    ASSERT_EQ(open(logOf(3), 6), 0);  // switched off: shown as empty
    send_event_log_via_xmodem();
    plat::resetProcessState();
    ASSERT_EQ(open(logOf(0)), 0);
    eventLogTransferSet(fakeTransfer);
    send_event_log_via_xmodem();  // this transfer fails
    tb.disk().setFreeBytes(500);  // room for part of the text only: nothing is sent
    send_event_log_via_xmodem();
    const std::string sent = "cbske asciilog.bin:\r\nMessage Log Empty" + std::string(1005, ' ');
    EXPECT_EQ(transfers, std::vector<std::string>({sent, sent}));
    EXPECT_FALSE(tb.exists("asciilog.bin"));
    EXPECT_TRUE(stktest::matchesGolden(con().takeOutput(), kTexts, "Transfers"));
    tb.disk().clearFaults();
    plat::resetProcessState();
    ASSERT_EQ(open(logOf(314)), 0);
    log_event("last.c", 77, 0x77);  // no free record left in memory
    std::string shown = text();
    EXPECT_EQ(shown.find("EVENT> last.c"), 115u);  // right after the two header lines
    EXPECT_EQ(shown.find("EVENT> f0.c"), shown.rfind("EVENT> "));
    // A file that can be neither opened nor created.
    plat::resetProcessState();
    plat::remove("log2.bin");
    ASSERT_EQ(plat::mkdir("log2.bin"), 0);
    EXPECT_NE(open(std::nullopt), 0);
    EXPECT_TRUE(stktest::matchesGolden(con().takeOutput(), kTexts, "NoFile"));
}

}  // namespace
