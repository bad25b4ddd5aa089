#include "eventlog/eventlog.h"

#include <filesystem>
#include <string>
#include <vector>

#include "log_records.h"
#include "platform/platform.h"

namespace {

using logtest::eventRecord;
using logtest::freeRecords;
using logtest::kRecords;
using logtest::kUsedBytes;
using logtest::logOf;
using logtest::LogTest;
using logtest::record;
using logtest::sameBytes;

#define EXPECT_SAME(a, b) EXPECT_TRUE(sameBytes((a), (b)))

constexpr uint32_t kNow = 1234567890;
constexpr uint32_t kTask = 0x1000;  // the boot task

TEST_F(LogTest, MissingFileIsCreatedAndTheFirstEntryGoesToRecordZero) {
    EXPECT_FALSE(tb.exists("log2.bin"));
    EXPECT_EQ(init(), 0);
    EXPECT_TRUE(tb.exists("log2.bin"));
    EXPECT_SAME(file(), "");
    EXPECT_EQ(con().output(), "");
    EXPECT_EQ(eventLogRecordCount(), 315u);
    EXPECT_EQ(eventLogNextRecord(), 0u);
    EXPECT_SAME(image(), freeRecords(kRecords) + std::string(4, '\xFF'));

    plat::clock_settime(kNow, 0);
    log_event("../../src/boot/startup.cpp", 42, 0xABCD);
    EXPECT_SAME(file(),
                eventRecord(1, "startup.cpp", 42, kTask, 0xABCD, kNow) + freeRecords(kRecords - 1));
    EXPECT_EQ(eventLogNextRecord(), 1u);
}

TEST_F(LogTest, UsedRecordsWithAFreeTailAreKept) {
    const std::string original = logOf(10, "TAIL");
    tb.writeFile("log2.bin", original);
    EXPECT_EQ(init(), 0);
    EXPECT_SAME(file(), original);  // not rewritten
    EXPECT_SAME(image(), original);
    EXPECT_EQ(eventLogNextRecord(), 10u);

    plat::clock_settime(kNow, 0);
    log_event("C:\\build\\drivers\\event.cpp", -5, 0xDEADBEEF);
    std::string expected = logOf(10);
    expected.replace(10 * 52, 52, eventRecord(1, "event.cpp", -5, kTask, 0xDEADBEEF, kNow));
    // The record is written in place; the bytes past the records keep their tail.
    EXPECT_SAME(file(), expected + "TAIL");
    EXPECT_EQ(eventLogNextRecord(), 11u);
}

TEST_F(LogTest, FullLogIsErasedAtStartUp) {
    const std::string tail = "WXYZ" + std::string(100, 'q');
    tb.writeFile("log2.bin", logOf(315, tail));
    EXPECT_EQ(init(), 0);
    EXPECT_SAME(file(), freeRecords(kRecords) + tail);
    EXPECT_EQ(eventLogNextRecord(), 0u);
    EXPECT_EQ(con().output(), "");
}

TEST_F(LogTest, UsedRecordAfterAFreeOneErasesTheLog) {
    std::string log = logOf(5);
    log.replace(200 * 52, 52, eventRecord(2, "late.c", 1, 2, 3, 4));
    tb.writeFile("log2.bin", log);
    EXPECT_EQ(init(), 0);
    EXPECT_SAME(file(), freeRecords(kRecords));
    EXPECT_EQ(eventLogNextRecord(), 0u);
}

TEST_F(LogTest, ModeSixReadsButNeverRepairsOrWrites) {
    std::string log = logOf(5);
    log.replace(200 * 52, 52, eventRecord(2, "late.c", 1, 2, 3, 4));
    tb.writeFile("log2.bin", log);
    EXPECT_EQ(init(6), 0);
    EXPECT_SAME(image(), log + std::string(4, '\xFF'));
    log_event("x.c", 1, 1);
    uint8_t rec[52];
    event_log_entry_fill(1, "y.c", 2, 2, rec);
    add_flash_log_entry(rec, 0);
    EXPECT_SAME(file(), log);
    EXPECT_SAME(image(), log + std::string(4, '\xFF'));
}

TEST_F(LogTest, ShortFileIsCompletedWithFreeRecords) {
    tb.writeFile("log2.bin", logOf(3).substr(0, 3 * 52));
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(eventLogNextRecord(), 3u);
    EXPECT_EQ(file().size(), 3u * 52);
    EXPECT_SAME(image(), logOf(3) + std::string(4, '\xFF'));
    log_event("a.c", 1, 7);
    EXPECT_EQ(file().size(), kUsedBytes);
    EXPECT_EQ(record(file(), 3), eventRecord(1, "a.c", 1, kTask, 7, uint32_t(plat::time())));
}

TEST_F(LogTest, AFullLogIsErasedByTheNextEntry) {
    tb.writeFile("log2.bin", logOf(314));
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(eventLogNextRecord(), 314u);
    plat::clock_settime(kNow, 0);
    log_event("last.c", 314, 314);
    EXPECT_EQ(eventLogNextRecord(), 315u);
    EXPECT_EQ(record(file(), 314), eventRecord(1, "last.c", 314, kTask, 314, kNow));

    // At interrupt level a full log is left alone.
    log_event_int("int.c", 1, 1);
    EXPECT_EQ(eventLogNextRecord(), 315u);
    EXPECT_EQ(record(file(), 314), eventRecord(1, "last.c", 314, kTask, 314, kNow));

    log_event("first.c", 1, 0x11);
    EXPECT_SAME(file(), eventRecord(1, "first.c", 1, kTask, 0x11, kNow) + freeRecords(314));
    EXPECT_EQ(eventLogNextRecord(), 1u);
}

TEST_F(LogTest, InterruptLevelStoresNothing) {
    tb.writeFile("log2.bin", logOf(2));
    EXPECT_EQ(init(), 0);
    log_event_int("int.c", 1, 1);
    uint8_t rec[52];
    event_log_entry_fill(2, "err.c", 2, 2, rec);
    add_flash_log_entry(rec, 1);
    EXPECT_SAME(file(), logOf(2));
    EXPECT_SAME(image(), logOf(2) + std::string(4, '\xFF'));
    EXPECT_EQ(eventLogNextRecord(), 2u);
    add_flash_log_entry(rec, 0);
    EXPECT_EQ(record(file(), 2), std::string(reinterpret_cast<char*>(rec), 52));
}

TEST_F(LogTest, WithoutTheFileTheEntryStaysInMemoryAndIsOverwritten) {
    EXPECT_EQ(init(), 0);
    ASSERT_EQ(plat::unlink("log2.bin"), 0);
    plat::clock_settime(kNow, 0);
    log_event("a.c", 1, 1);
    EXPECT_EQ(eventLogNextRecord(), 0u);
    EXPECT_FALSE(tb.exists("log2.bin"));  // not created again
    EXPECT_EQ(record(image(), 0), eventRecord(1, "a.c", 1, kTask, 1, kNow));

    tb.writeFile("log2.bin", "");
    log_event("b.c", 2, 2);
    EXPECT_EQ(eventLogNextRecord(), 1u);
    EXPECT_SAME(file(), eventRecord(1, "b.c", 2, kTask, 2, kNow) + freeRecords(314));
}

TEST_F(LogTest, ClearWritesFreeRecordsOverTheWholeLog) {
    tb.writeFile("log2.bin", logOf(7, "tail"));
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(event_log_clear(), 0);
    EXPECT_TRUE(sameBytes(file(), freeRecords(kRecords) + "tail"));
    EXPECT_TRUE(sameBytes(image(), freeRecords(kRecords) + "tail"));
}

TEST_F(LogTest, FileThatCanNeitherBeOpenedNorCreated) {
    ASSERT_EQ(plat::mkdir("log2.bin"), 0);
    EXPECT_NE(init(), 0);
    EXPECT_EQ(con().output(),
              "Could not create log2.bin on file system.\n\n"
              "Could not open/create log2.bin on file system.\n\n");
    log_event("a.c", 1, 1);  // harmless
    EXPECT_EQ(eventLogNextRecord(), 0u);
}

TEST_F(LogTest, SizesBelowOneRecordKeepNothing) {
    EXPECT_EQ(Log_Init(51, nullptr, 5, 2, 7), 0);
    EXPECT_EQ(eventLogRecordCount(), 0u);
    log_event("a.c", 1, 1);
    EXPECT_SAME(file(), "");
    EXPECT_EQ(Log_Init(104, nullptr, 5, 2, 7), 0);
    EXPECT_EQ(eventLogRecordCount(), 2u);
}

TEST(LogRecordTest, EntryFillEncodesEveryFieldBigEndian) {
    stktest::TestBoard tb;
    plat::clock_settime(0x01020304, 0);
    uint8_t rec[52];
    const std::string longName = "dir/" + std::string(40, 'n');
    event_log_entry_fill(2, longName.c_str(), -2, 0xA1B2C3D4, rec);
    std::string got(reinterpret_cast<char*>(rec), 52);
    EXPECT_EQ(got, std::string("\0\0\0\x02", 4) + std::string(32, 'n') + "\xFF\xFF\xFF\xFE" +
                       std::string("\0\0\x10\0", 4) + "\xA1\xB2\xC3\xD4" + "\x01\x02\x03\x04");
    event_log_entry_fill(1, "short", 0x10203, 0, rec);
    got.assign(reinterpret_cast<char*>(rec), 52);
    EXPECT_EQ(got.substr(4, 32), "short" + std::string(27, ' '));
    EXPECT_EQ(got.substr(36, 4), std::string("\0\x01\x02\x03", 4));
    event_log_entry_fill(1, nullptr, 0, 0, rec);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec) + 4, 32), std::string(32, ' '));
}

TEST(LogUtilsTest, FilenameStripKeepsTheBaseName) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"../../../../os/vxworks/osapi/osapi_file", "osapi_file"},
        {"..\\..\\bsp\\cpu\\bootConfig.c", "bootConfig.c"},
        {"mixed/a\\b/c.c", "c.c"},
        {"plain.c", "plain.c"},
        {"ends/in/", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        const char* p = c.in;
        zqutilsFilenameStrip(&p);
        EXPECT_STREQ(p, c.out) << c.in;
    }
    const char* p = "plain.c";
    const char* before = p;
    zqutilsFilenameStrip(&p);
    EXPECT_EQ(p, before);
    const char* null = nullptr;
    zqutilsFilenameStrip(&null);
    EXPECT_EQ(null, nullptr);
    zqutilsFilenameStrip(nullptr);
}

std::vector<int> seenLines;
void observe(int severity, int component, const char*, int line) {
    seenLines.push_back(severity * 1000000 + component * 1000 + line);
}

TEST(LogUtilsTest, ZqLogfPrintsOnlyTheFormattedMessage) {
    stktest::TestBoard tb;
    seenLines.clear();
    zqLogObserverSet(observe);
    zq_logf(5, 66, "osapi_file", 750, "value %d text %s\n", 17, "abc");
    EXPECT_EQ(tb.con().output(), "value 17 text abc\n");
    EXPECT_EQ(seenLines, std::vector<int>{5066750});
}

}  // namespace
