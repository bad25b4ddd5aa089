#include "eventlog/retrieve.h"

#include <string>
#include <vector>

#include "eventlog/eventlog.h"
#include "log_records.h"
#include "platform/platform.h"

namespace {

using logtest::be32;
using logtest::eventRecord;
using logtest::exceptionRecord;
using logtest::freeRecords;
using logtest::logOf;
using logtest::LogTest;

const std::string kHeader =
    "                                                  Time\r\n"
    "         File   Line  TaskID    Code           d  h  m  s\r\n";
const std::string kEmptyText = "\r\nMessage Log Empty" + std::string(1005, ' ');

std::string padded(const std::string& text) {
    size_t rest = text.size() % 1024;
    return rest ? text + std::string(1024 - rest, ' ') : text;
}

class RetrieveTest : public LogTest {
  protected:
    // Opens a log made of the given records (free records after them).
    void openLog(const std::string& records, uint32_t mode = 5) {
        tb.writeFile("log2.bin", records + freeRecords(logtest::kRecords - records.size() / 52));
        ASSERT_EQ(init(mode), 0);
    }
    std::string convert() {
        EXPECT_EQ(convert_event_log_to_ascii(), 0);
        return tb.readFile("asciilog.bin");
    }
};

TEST_F(RetrieveTest, EmptyLogIsOneBlockWithTheEmptyMessage) {
    openLog("");
    std::string text = convert();
    EXPECT_EQ(text.size(), 1024u);
    EXPECT_EQ(text, kEmptyText);
}

TEST_F(RetrieveTest, ModeSixShowsAnEmptyLog) {
    openLog(logOf(3).substr(0, 3 * 52), 6);
    EXPECT_EQ(convert(), kEmptyText);
}

TEST_F(RetrieveTest, EventLinesNewestFirst) {
    openLog(eventRecord(1, "first.c", 10, 0x1000, 0xA, 90061) +
            eventRecord(2, "second.cpp", -3, 0xDEAD, 0xFFFFFFFF, 0) +
            eventRecord(1, std::string(32, 'Z'), 12345, 0x12345678, 0x9ABCDEF0, 0xFFFFFFFF));
    EXPECT_EQ(convert(),
              padded(kHeader + "EVENT> " + std::string(32, 'Z') +
                     " 12345 12345678 9ABCDEF0     49710  6 28 15\r\n"
                     "ERROR> second.cpp                         -3 0000DEAD FFFFFFFF         0  0  "
                     "0  0\r\n"
                     "EVENT> first.c                            10 00001000 0000000A         1  1  "
                     "1  1\r\n"));
}

TEST_F(RetrieveTest, ExceptionAndCorruptLines) {
    std::string corrupt7 = be32(7) + be32(0xA) + be32(0xB) + be32(0xC) + be32(0xD) + be32(0xE) +
                           std::string(28, '\x77');
    openLog(exceptionRecord(3, 0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x55555555, 90061) +
            exceptionRecord(4, 0xFFF00100, 0x00029200, 0x00021200, 0, 0xDEADBEEF, 59) +
            exceptionRecord(0x300, 1, 2, 3, 4, 5, 86400 * 3 + 3600 * 23) +
            exceptionRecord(0x1100, 0xA, 0xB, 0xC, 0xD, 0xE, 0) + corrupt7 + std::string(52, '\0'));
    EXPECT_EQ(
        convert(),
        padded(kHeader +
               "CORRUPT ENTRY >>>>>>>00000000 00000000 00000000 00000000 00000000 00000000\r\n"
               "CORRUPT ENTRY >>>>>>>00000007 0000000A 0000000B 0000000C 0000000D 0000000E\r\n"
               "Exc 0x1100    > srr0:0000000A srr1: 0000000B msr:0000000C dsisr:0000000D "
               "dar:0000000E     0  0  0  0\r\n"
               "Exc 0x0300    > srr0:00000001 srr1: 00000002 msr:00000003 dsisr:00000004 "
               "dar:00000005     3 23  0  0\r\n"
               "Watchdog      > srr0:FFF00100 srr1: 00029200 msr:00021200 dsisr:00000000 "
               "dar:DEADBEEF     0  0  0 59\r\n"
               "Machine Check > srr0:11111111 srr1: 22222222 msr:33333333 dsisr:44444444 "
               "dar:55555555     1  1  1  1\r\n"));
}

TEST_F(RetrieveTest, FileFieldEndsAtAZeroByte) {
    openLog(eventRecord(1, std::string("ab\0cd", 5), 1, 2, 3, 4));
    EXPECT_EQ(convert(),
              padded(kHeader + "EVENT> ab    1 00000002 00000003         0  0  0  4\r\n"));
}

TEST_F(RetrieveTest, TextOfWholeBlocksGetsNoPadding) {
    // Header 115 bytes, ten lines of 83 and one of 79: exactly 1024.
    std::string records = eventRecord(1, std::string(28, 'a') + '\0', 1, 1, 1, 1);
    for (int i = 0; i < 10; ++i) records += eventRecord(1, std::string(32, 'b'), 2, 2, 2, 2);
    openLog(records);
    std::string text = convert();
    EXPECT_EQ(text.size(), 1024u);
    EXPECT_EQ(text.substr(1024 - 2), "\r\n");
}

TEST_F(RetrieveTest, FullLogInMemoryIsShownOncePerRecord) {
    tb.writeFile("log2.bin", logOf(314));
    ASSERT_EQ(init(), 0);
    log_event("last.c", 77, 0x77);  // no free record left in memory
    ASSERT_EQ(eventLogNextRecord(), 315u);
    std::string text = convert();
    size_t lines = 0;
    for (size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, 2u + 315u);
    EXPECT_EQ(text.find("EVENT> last.c"), kHeader.size());
    EXPECT_NE(text.find("EVENT> file0.c"), std::string::npos);
    EXPECT_EQ(text.find("EVENT> file0.c"), text.rfind("EVENT> "));
}

TEST_F(RetrieveTest, WalkOverAGivenLogStopsAfterOnePass) {
    openLog("");
    std::string full;
    for (int i = 0; i < 315; ++i) full += eventRecord(1, "r" + std::to_string(i), i, 0, 0, 0);
    const uint8_t* base = reinterpret_cast<const uint8_t*>(full.data());
    char line[kEventLogLineLen];
    std::vector<std::string> lines;
    const uint8_t* cursor = Zq_event_log_get_next(base, nullptr, line);
    while (cursor) {
        lines.push_back(line);
        ASSERT_LE(lines.size(), 315u);
        cursor = Zq_event_log_get_next(base, cursor, line);
    }
    ASSERT_EQ(lines.size(), 315u);
    EXPECT_EQ(lines.front().substr(0, 12), "EVENT> r314 ");
    EXPECT_EQ(lines.back().substr(0, 10), "EVENT> r0 ");

    // Cursors that are not a used record give nothing and leave the line alone.
    std::string withFree = full.substr(0, 52) + freeRecords(314);
    const uint8_t* fbase = reinterpret_cast<const uint8_t*>(withFree.data());
    std::snprintf(line, sizeof line, "untouched");
    EXPECT_EQ(Zq_event_log_get_next(fbase, fbase + 52, line), nullptr);
    EXPECT_EQ(Zq_event_log_get_next(base, base + 1, line), nullptr);
    EXPECT_EQ(Zq_event_log_get_next(base, base + 315 * 52, line), nullptr);
    EXPECT_STREQ(line, "untouched");
    // One record and free ones: record 0, then the last (free) one ends it.
    cursor = Zq_event_log_get_next(fbase, nullptr, line);
    EXPECT_EQ(cursor, fbase + 314 * 52);
    EXPECT_EQ(Zq_event_log_get_next(fbase, cursor, line), nullptr);
}

TEST_F(RetrieveTest, ConversionFailsWhenTheFileCannotBeMade) {
    openLog(eventRecord(1, "a.c", 1, 1, 1, 1));
    ASSERT_EQ(plat::mkdir("asciilog.bin"), 0);
    EXPECT_EQ(convert_event_log_to_ascii(), 1);
    ASSERT_EQ(plat::rmdir("asciilog.bin"), 0);
    tb.disk().setFreeBytes(500);  // room for part of the text only
    EXPECT_EQ(convert_event_log_to_ascii(), 1);
    EXPECT_FALSE(tb.exists("asciilog.bin"));
}

// --- Sending ------------------------------------------------------------------------------

std::vector<std::string> transferArgs;
std::string transferredText;
int transferResult = 0;

int fakeTransfer(const char* args) {
    transferArgs.push_back(args);
    transferredText.clear();
    int fd = plat::open("asciilog.bin", plat::kOpenRead);
    if (fd >= 0) {
        char buf[4096];
        long n;
        while ((n = plat::read(fd, buf, sizeof buf)) > 0) transferredText.append(buf, size_t(n));
        plat::close(fd);
    }
    return transferResult;
}

class SendTest : public RetrieveTest {
  protected:
    SendTest() {
        transferArgs.clear();
        transferredText.clear();
        eventLogTransferSet(fakeTransfer);
    }
};

TEST_F(SendTest, SendsTheCompleteFileAndRemovesIt) {
    openLog(eventRecord(1, "a.c", 1, 1, 1, 1));
    transferResult = 0;
    send_event_log_via_xmodem();
    ASSERT_EQ(transferArgs, std::vector<std::string>{"cbske asciilog.bin"});
    EXPECT_EQ(transferredText, padded(kHeader + "EVENT> a.c" + std::string(29, ' ') +
                                      "    1 00000001 00000001         0  0  0  1\r\n"));
    EXPECT_FALSE(tb.exists("asciilog.bin"));
    EXPECT_EQ(con().output(), "Event log transmitted.\n");
}

TEST_F(SendTest, FailedTransferStillRemovesTheFile) {
    openLog("");
    transferResult = -1;
    send_event_log_via_xmodem();
    EXPECT_EQ(transferArgs.size(), 1u);
    EXPECT_EQ(transferredText, kEmptyText);
    EXPECT_FALSE(tb.exists("asciilog.bin"));
    EXPECT_EQ(con().output(), "ERROR: XMODEM transfer failed.\n");
}

TEST_F(SendTest, FailedConversionSendsNothing) {
    openLog("");
    ASSERT_EQ(plat::mkdir("asciilog.bin"), 0);
    send_event_log_via_xmodem();
    EXPECT_TRUE(transferArgs.empty());
    EXPECT_EQ(con().output(), "ERROR: Event Log conversion failed. XMODEM transfer failed.\n");
}

TEST_F(SendTest, RealTransferCommandWithoutAReceiverFails) {
    openLog("");
    eventLogTransferSet(nullptr);
    auto stop = tb.run([] { send_event_log_via_xmodem(); });
    EXPECT_FALSE(stop);
    EXPECT_FALSE(tb.exists("asciilog.bin"));
    const std::string out = con().output();
    // The command saw the file name and the binary option.
    EXPECT_NE(out.find("File asciilog.bin Ready to SEND in binary mode\n\r"), std::string::npos);
    const std::string failed = "ERROR: XMODEM transfer failed.\n";
    ASSERT_GE(out.size(), failed.size());
    EXPECT_EQ(out.substr(out.size() - failed.size()), failed);
}

// CRC-16/XMODEM, bit by bit.
uint16_t crc16Xmodem(const std::string& data) {
    uint16_t crc = 0;
    for (unsigned char c : data) {
        crc ^= uint16_t(c << 8);
        for (int i = 0; i < 8; ++i) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// A receiver on the console line: asks for CRC blocks, checks and
// acknowledges each block and the end of the file.
struct XmodemReceiver {
    bool started = false;
    bool ended = false;
    std::string pending;  // bytes on the line not yet a whole block
    std::string reply;    // the answer due when the sender next listens
    std::string data;
    int blocks = 0;
    int nextBlock = 1;

    void attach(plat::ScriptedConsole& con) {
        con.onWrite = [this](std::string_view w) { written(w); };
        con.onStarve = [this, &con] {
            if (!started) {
                started = true;
                pending.clear();
                con.send("C");
            } else if (!reply.empty()) {
                con.send(reply);
                reply.clear();
            }
        };
    }
    void written(std::string_view w) {
        if (!started || ended) return;
        pending.append(w);
        while (!pending.empty()) {
            unsigned char head = uint8_t(pending[0]);
            if (head == 0x04) {  // EOT
                ended = true;
                reply = "\x06";
                pending.erase(0, 1);
                return;
            }
            size_t size = head == 0x02 ? 1024 : head == 0x01 ? 128 : 0;
            if (size == 0) {
                pending.erase(0, 1);
                continue;
            }
            if (pending.size() < size + 5) return;
            std::string payload = pending.substr(3, size);
            uint16_t crc = uint16_t(uint8_t(pending[3 + size]) << 8 | uint8_t(pending[4 + size]));
            bool good = uint8_t(pending[1]) == uint8_t(nextBlock) &&
                        uint8_t(pending[1]) + uint8_t(pending[2]) == 255 &&
                        crc == crc16Xmodem(payload);
            pending.erase(0, size + 5);
            if (good) {
                data += payload;
                ++blocks;
                ++nextBlock;
                reply = "\x06";
            } else {
                reply = "\x15";
            }
        }
    }
};

TEST_F(SendTest, RealTransferCommandDeliversTheRenderedLog) {
    openLog(eventRecord(2, "send.c", 9, 0x1000, 0xBEEF, 86399));
    eventLogTransferSet(nullptr);
    XmodemReceiver rx;
    rx.attach(con());
    auto stop = tb.run([] { send_event_log_via_xmodem(); });
    EXPECT_FALSE(stop);
    EXPECT_TRUE(rx.ended);
    EXPECT_EQ(rx.blocks, 1);  // one 1024-byte block
    EXPECT_EQ(rx.data, padded(kHeader + "ERROR> send.c" + std::string(26, ' ') +
                              "    9 00001000 0000BEEF         0 23 59 59\r\n"));
    EXPECT_FALSE(tb.exists("asciilog.bin"));
    const std::string done = "Event log transmitted.\n";
    const std::string out = con().output();
    ASSERT_GE(out.size(), done.size());
    EXPECT_EQ(out.substr(out.size() - done.size()), done);
}

}  // namespace
