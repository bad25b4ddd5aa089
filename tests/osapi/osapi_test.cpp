#include "osapi/osapi.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "eventlog/eventlog.h"
#include "platform/platform.h"
#include "support/test_board.h"

namespace {

using stktest::BoardTest;
namespace fs = std::filesystem;

struct LoggedPlace {
    int severity, component, line;
    std::string file;
};
std::vector<LoggedPlace> logged;
void recordPlace(int severity, int component, const char* file, int line) {
    logged.push_back({severity, component, line, file ? file : ""});
}

class OsapiTest : public BoardTest {
  protected:
    OsapiTest() {
        logged.clear();
        zqLogObserverSet(recordPlace);
    }
    uint64_t elapsedUs(uint64_t since) { return plat::nowUs() - since; }
};

// --- Semaphores -------------------------------------------------------------------

TEST_F(OsapiTest, SemaTakeConvertsMillisecondsToTicks) {
    plat::SEM_ID sem = osapiSemaBCreateTrack("f", 1, 0, 0);  // empty
    ASSERT_NE(sem, nullptr);
    struct Case {
        int ms;
        uint64_t waitedUs;
    } cases[] = {
        {1000, 1000000},                               // 60 ticks
        {100, 100000},                                 // 6 ticks
        {16, 0},                                       // below one tick: no wait
        {17, 16666},                                   // one tick
        {35791394, uint64_t(2147483) * 1000000 / 60},  // largest product that fits
        {0, 0},
    };
    for (const Case& c : cases) {
        uint64_t start = plat::nowUs();
        EXPECT_EQ(osapiSemaTake(sem, c.ms), kOsapiFailure) << c.ms;
        EXPECT_EQ(elapsedUs(start), c.waitedUs) << c.ms;
    }
    osapiSemaDelete(sem);
}

TEST_F(OsapiTest, SemaTakeWaitsForeverWhenTheTickCountOverflows) {
    plat::SEM_ID sem = osapiSemaBCreateTrack("f", 1, 0, 0);
    // On the virtual clock a wait without limit on an empty semaphore gives up
    // at once (nobody else could give it); a finite wait advances the clock.
    // 40000000 ms wraps to a negative product, 80000000 ms to a positive one.
    for (int ms : {-1, 35791395, 40000000, 80000000, 0x7FFFFFFF}) {
        uint64_t start = plat::nowUs();
        EXPECT_EQ(osapiSemaTake(sem, ms), kOsapiFailure) << ms;
        EXPECT_EQ(elapsedUs(start), 0u) << ms;
    }
    osapiSemaDelete(sem);
}

TEST_F(OsapiTest, SemaTakeRefusesOtherNegativeTimeOutsWithoutTaking) {
    plat::SEM_ID sem = osapiSemaBCreateTrack("f", 1, 0, 1);  // full
    EXPECT_EQ(osapiSemaTake(sem, -2), kOsapiError);
    EXPECT_EQ(osapiSemaTake(sem, -1000), kOsapiError);
    // Still full: one take succeeds, the next does not.
    EXPECT_EQ(osapiSemaTake(sem, 0), kOsapiSuccess);
    EXPECT_EQ(osapiSemaTake(sem, 0), kOsapiFailure);
    EXPECT_EQ(osapiSemaGive(sem), kOsapiSuccess);
    EXPECT_EQ(osapiSemaTake(sem, -1), kOsapiSuccess);
    osapiSemaDelete(sem);
}

TEST_F(OsapiTest, SemaphoreCreatorsAndKernelFailures) {
    plat::SEM_ID full = osapiSemaBCreateTrack("f", 1, 0xFF, 7);
    EXPECT_EQ(osapiSemaTake(full, 0), kOsapiSuccess);
    plat::SEM_ID counting = osapiSemaCCreateTrack("f", 2, 0xFF, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(osapiSemaTake(counting, 0), kOsapiSuccess);
    EXPECT_EQ(osapiSemaTake(counting, 0), kOsapiFailure);
    plat::SEM_ID mutex = osapiSemaMCreateTrack("f", 3, plat::SEM_INVERSION_SAFE);
    EXPECT_EQ(osapiSemaTake(mutex, 0), kOsapiSuccess);
    EXPECT_EQ(osapiSemaFlush(full), kOsapiSuccess);
    EXPECT_EQ(osapiSemaFlush(mutex), kOsapiFailure);  // the kernel refuses
    EXPECT_EQ(osapiSemaGive(nullptr), kOsapiFailure);
    EXPECT_EQ(osapiSemaFlush(nullptr), kOsapiFailure);
    EXPECT_EQ(osapiSemaDelete(nullptr), kOsapiFailure);
    EXPECT_EQ(osapiSemaTake(nullptr, 0), kOsapiFailure);
    for (plat::SEM_ID s : {full, counting, mutex}) EXPECT_EQ(osapiSemaDelete(s), kOsapiSuccess);
}

TEST_F(OsapiTest, IoLockIsCreatedFullOnFirstUse) {
    EXPECT_EQ(osapiIOSemaGive(), kOsapiFailure);  // not created yet
    EXPECT_EQ(osapiIOSemaTake(0), kOsapiSuccess);
    EXPECT_EQ(osapiIOSemaTake(0), kOsapiFailure);
    uint64_t start = plat::nowUs();
    EXPECT_EQ(osapiIOSemaTake(30), kOsapiFailure);  // ticks, not milliseconds
    EXPECT_EQ(elapsedUs(start), 500000u);
    EXPECT_EQ(osapiIOSemaGive(), kOsapiSuccess);
    // The file wrappers leave it free.
    int fd = -1;
    tb.writeFile("a", "x");
    ASSERT_EQ(osapiFsOpen("a", &fd), kOsapiSuccess);
    EXPECT_EQ(osapiFsWriteNoClose(fd, "yz", 2), kOsapiSuccess);
    EXPECT_EQ(osapiFsClose(fd), kOsapiSuccess);
    EXPECT_EQ(osapiFsWrite("b", "q", 1), kOsapiSuccess);
    EXPECT_EQ(osapiIOSemaTake(0), kOsapiSuccess);
    EXPECT_EQ(osapiIOSemaGive(), kOsapiSuccess);
}

// --- Transfer progress hook ---------------------------------------------------------

std::vector<std::pair<uint32_t, uint32_t>> notified;
void progress(uint32_t done, uint32_t total) {
    notified.emplace_back(done, total);
}

TEST_F(OsapiTest, TransferProgressHook) {
    notified.clear();
    osapiTransferBytesCompletedNotify(1, 2);  // nothing stored: nothing happens
    EXPECT_EQ(osapiTransferBytesCompletedNotifyRegister(nullptr), kOsapiFailure);
    EXPECT_EQ(osapiTransferBytesCompletedNotifyRegister(progress), kOsapiSuccess);
    osapiTransferBytesCompletedNotify(100, 400);
    EXPECT_EQ(osapiTransferBytesCompletedNotifyDeRegister(), kOsapiSuccess);
    osapiTransferBytesCompletedNotify(200, 400);
    ASSERT_EQ(notified.size(), 1u);
    EXPECT_EQ(notified[0], std::make_pair(100u, 400u));
}

// --- Files ------------------------------------------------------------------------------

TEST_F(OsapiTest, WriteSetsTheSizeAndReadStopsAtTheEnd) {
    EXPECT_EQ(osapiFsFileExist("data"), 0);
    ASSERT_EQ(osapiFsWrite("data", "0123456789", 10), kOsapiSuccess);
    EXPECT_EQ(osapiFsFileExist("data"), 1);
    ASSERT_EQ(osapiFsWrite("data", "abc", 3), kOsapiSuccess);
    EXPECT_EQ(tb.readFile("data"), "abc");  // the old tail is gone

    uint32_t size = 99;
    EXPECT_EQ(osapiFsFileSizeGet("data", &size), kOsapiSuccess);
    EXPECT_EQ(size, 3u);
    size = 99;
    EXPECT_EQ(osapiFsFileSizeGet("missing", &size), kOsapiError);
    EXPECT_EQ(size, 0u);

    char buf[16] = {};
    EXPECT_EQ(osapiFsRead("data", buf, 2), kOsapiSuccess);
    EXPECT_EQ(std::string(buf), "ab");
    EXPECT_EQ(osapiFsRead("missing", buf, 2), kOsapiError);

    int fd = -1;
    ASSERT_EQ(osapiFsOpen("data", &fd), kOsapiSuccess);
    uint32_t len = sizeof buf;
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(osapiFileReadWithLen(fd, buf, &len), kOsapiSuccess);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(std::string(buf), "abc");
    EXPECT_EQ(osapiFileSeek(fd, 1, 0), kOsapiSuccess);
    EXPECT_EQ(osapiFileRead(fd, buf, 1), kOsapiSuccess);
    EXPECT_EQ(buf[0], 'b');
    EXPECT_EQ(osapiFileSeek(fd, -5, 0), kOsapiFailure);
    EXPECT_EQ(osapiFsClose(fd), kOsapiSuccess);
    len = 4;
    EXPECT_EQ(osapiFileReadWithLen(fd, buf, &len), kOsapiError);  // closed now
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(osapiFsOpen("missing", &fd), kOsapiError);
    EXPECT_TRUE(logged.empty());
}

TEST_F(OsapiTest, WriteFailuresReturnErrorAndCloseTheFile) {
    tb.disk().failWriteAt(1);
    EXPECT_EQ(osapiFsWrite("w", "abc", 3), kOsapiError);
    tb.disk().setFreeBytes(2);
    EXPECT_EQ(osapiFsWrite("w", "abc", 3), kOsapiError);  // cut short
    tb.disk().clearFaults();
    EXPECT_EQ(osapiFsWrite("/nodevice/w", "abc", 3), kOsapiError);

    int fd = -1;
    ASSERT_EQ(osapiFsFileCreate("n", &fd), kOsapiSuccess);
    tb.disk().failWriteAt(1);
    EXPECT_EQ(osapiFsWriteNoClose(fd, "abc", 3), kOsapiError);
    EXPECT_EQ(osapiFsWriteNoClose(fd, "abc", 3), kOsapiSuccess);
    EXPECT_EQ(osapiFsClose(fd), kOsapiSuccess);
    EXPECT_EQ(tb.readFile("n"), "abc");
    EXPECT_EQ(osapiFsFileCreate("/nodevice/n", &fd), kOsapiFailure);
    EXPECT_EQ(osapiFsCreateFile("/nodevice/n"), kOsapiError);
    EXPECT_EQ(osapiFsCreateFile("c"), kOsapiSuccess);
    EXPECT_TRUE(tb.exists("c"));
}

TEST_F(OsapiTest, CloseReportsBadDescriptors) {
    EXPECT_EQ(osapiFsClose(-1), kOsapiError);
    int fd = -1;
    ASSERT_EQ(osapiFsFileCreate("x", &fd), kOsapiSuccess);
    ASSERT_EQ(osapiFsClose(fd), kOsapiSuccess);
    con().clearOutput();
    EXPECT_EQ(osapiFsClose(fd), kOsapiError);
    EXPECT_EQ(con().output(), "File close failed for descriptor " + std::to_string(fd) + " \n");
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].line, 647);
    EXPECT_EQ(logged[1].line, 657);
    for (const auto& l : logged) {
        EXPECT_EQ(l.severity, 3);
        EXPECT_EQ(l.component, 66);
        EXPECT_EQ(l.file, "osapi_file");
    }
}

TEST_F(OsapiTest, CloseOfANegativeDescriptorPrintsItsMessage) {
    EXPECT_EQ(osapiFsClose(-7), kOsapiError);
    EXPECT_EQ(con().output(), "File close failed as the descriptor -7 is invalid \n");
}

TEST_F(OsapiTest, FailedSizeSettingIsLoggedByErrno) {
    // A file that takes writes but cannot be truncated.
    fs::create_symlink("/dev/null", tb.hostPath("null"));
    EXPECT_EQ(osapiFsWrite("null", "abc", 3), kOsapiError);
    const std::string tail =
        " ftruncate is called to correctly set the files size in the file system after a "
        "write.";
    EXPECT_EQ(con().takeOutput(),
              "ftruncate failed  File descriptor refers to a file on which this operation is "
              "impossible." +
                  tail + " This msg indicates the file system may be corrupted.\n");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].severity, 5);
    EXPECT_EQ(logged[0].component, 66);
    EXPECT_EQ(logged[0].line, 763);

    logged.clear();
    osapiFsTruncateFailureReport(30);
    EXPECT_EQ(con().takeOutput(),
              "ftruncate failed  File resides on a read-only file system." + tail +
                  " The file system is R/W so this msg indicates the file system may be "
                  "corrupted.\n");
    osapiFsTruncateFailureReport(9);
    EXPECT_EQ(con().takeOutput(),
              "ftruncate failed  File is open for reading only." + tail +
                  " The file is opened for R/W so this msg indicates the file system may be "
                  "corrupted.\n");
    osapiFsTruncateFailureReport(5);
    EXPECT_EQ(con().takeOutput(), "ftruncate failed  Returned an unknown code in errno." + tail +
                                      " This msg indicates the file system may be corrupted.\n");
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].line, 750);
    EXPECT_EQ(logged[1].line, 756);
    EXPECT_EQ(logged[2].line, 769);
}

TEST_F(OsapiTest, CopyDeleteAndRename) {
    tb.writeFile("src", "payload");
    EXPECT_EQ(osapiFsCopyFile("src", "dst"), kOsapiSuccess);
    EXPECT_EQ(tb.readFile("dst"), "payload");
    EXPECT_EQ(osapiFsCopyFile("missing", "dst2"), kOsapiError);
    for (const char* same : {"src", "./src", "/DskVol/files/src"})  // never onto itself
        EXPECT_EQ(osapiFsCopyFile("src", same), kOsapiError) << same;
    EXPECT_EQ(tb.readFile("src"), "payload");

    tb.writeFile("old", "new contents");
    EXPECT_EQ(osapiFsRenameFile("old", "dst"), kOsapiSuccess);  // replaces
    EXPECT_FALSE(tb.exists("old"));
    EXPECT_EQ(tb.readFile("dst"), "new contents");
    EXPECT_EQ(osapiFsRenameFile("dst", "moved"), kOsapiSuccess);
    EXPECT_EQ(tb.readFile("moved"), "new contents");

    // Never loses the only copy.
    EXPECT_EQ(osapiFsRenameFile("missing", "moved"), kOsapiError);
    EXPECT_EQ(tb.readFile("moved"), "new contents");
    EXPECT_EQ(osapiFsRenameFile("moved", "/DskVol/files/moved"), kOsapiSuccess);
    EXPECT_EQ(tb.readFile("moved"), "new contents");

    EXPECT_EQ(osapiFsDeleteFile("moved"), kOsapiSuccess);
    EXPECT_FALSE(tb.exists("moved"));
    EXPECT_EQ(osapiFsDeleteFile("moved"), kOsapiError);
}

// --- Directories ------------------------------------------------------------------

class OsapiDirTest : public OsapiTest {
  protected:
    OsapiDirTest() {
        tb.writeFile("rw", "12345");
        tb.writeFile("ro", "1");
        tb.writeFile("wo", "");
        tb.writeFile("none", "123");
        fs::permissions(tb.hostPath("ro"), fs::perms::owner_read);
        fs::permissions(tb.hostPath("wo"), fs::perms::owner_write);
        fs::permissions(tb.hostPath("none"), fs::perms::none);
        plat::mkdir("sub");
    }
};

TEST_F(OsapiDirTest, DirFilesGetGivesEveryEntryThenFiveThenStartsOver) {
    std::map<std::string, OsapiFsIterEntry> seen;
    OsapiFsIterEntry e;
    int rc;
    while ((rc = osapiFsDirFilesGet("/DskVol/files", &e)) == kOsapiSuccess) seen[e.name] = e;
    EXPECT_EQ(rc, kOsapiNothingMore);
    ASSERT_EQ(seen.size(), 7u);  // five entries plus "." and ".."
    EXPECT_EQ(seen["."].type, kOsapiTypeDotEntry);
    EXPECT_EQ(seen[".."].type, kOsapiTypeDotEntry);
    EXPECT_EQ(seen["sub"].type, kOsapiTypeDir);
    EXPECT_EQ(seen["rw"].type, kOsapiTypeFile);
    EXPECT_EQ(seen["rw"].size, 5u);
    EXPECT_EQ(seen["rw"].access, kOsapiAccessReadWrite);
    EXPECT_EQ(seen["ro"].access, kOsapiAccessReadOnly);
    EXPECT_EQ(seen["wo"].access, kOsapiAccessWriteOnly);
    EXPECT_EQ(seen["none"].access, kOsapiAccessNone);

    // The next call starts again from the first entry.
    int again = 0;
    while (osapiFsDirFilesGet("/DskVol/files", &e) == kOsapiSuccess) ++again;
    EXPECT_EQ(again, 7);
}

TEST_F(OsapiDirTest, DirFilesGetFailures) {
    OsapiFsIterEntry e;
    EXPECT_EQ(osapiFsDirFilesGet(nullptr, &e), kOsapiFailure);
    EXPECT_EQ(osapiFsDirFilesGet("/DskVol/files", nullptr), kOsapiFailure);
    EXPECT_EQ(osapiFsDirFilesGet("/DskVol/nothere", &e), kOsapiFailure);
    // A dangling entry fails the stat; the iteration then starts over.
    fs::create_symlink(tb.hostPath("gone"), tb.hostPath("dangling"));
    int ok = 0, rc;
    while ((rc = osapiFsDirFilesGet("/DskVol/files", &e)) == kOsapiSuccess) ++ok;
    EXPECT_EQ(rc, kOsapiFailure);
    EXPECT_EQ(std::string(e.name), "dangling");
    int okAgain = 0;
    while ((rc = osapiFsDirFilesGet("/DskVol/files", &e)) == kOsapiSuccess) ++okAgain;
    EXPECT_EQ(okAgain, ok);
}

TEST_F(OsapiDirTest, ListCompactHonoursTheCapacity) {
    uint32_t capacity = 0;
    EXPECT_EQ(osapiFsListCompact(nullptr, &capacity), kOsapiSuccess);
    EXPECT_EQ(capacity, 0u);

    OsapiFsCompactEntry entries[20];
    capacity = 3;
    EXPECT_EQ(osapiFsListCompact(entries, &capacity), kOsapiSuccess);
    EXPECT_EQ(capacity, 3u);

    tb.writeFile(std::string(40, 'L'), "xy");
    capacity = 20;
    EXPECT_EQ(osapiFsListCompact(entries, &capacity), kOsapiSuccess);
    ASSERT_EQ(capacity, 8u);
    std::set<std::string> names;
    for (uint32_t i = 0; i < capacity; ++i) names.insert(entries[i].name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "rw", "ro", "wo", "none", "sub",
                                            std::string(31, 'L')}));
    EXPECT_EQ(osapiFsListCompact(entries, nullptr), kOsapiFailure);
}

TEST_F(OsapiDirTest, ListFillsFullEntriesAndTheSummary) {
    fs::last_write_time(tb.hostPath("rw"),
                        fs::file_time_type::clock::from_sys(std::chrono::sys_seconds{
                            std::chrono::seconds{1700000000}}));  // 2023-11-14 22:13:20
    OsapiFsListEntry entries[20];
    OsapiFsDirSummary summary{};
    std::snprintf(summary.path, sizeof summary.path, "/DskVol/files");
    uint32_t capacity = 20;
    ASSERT_EQ(osapiFsList(entries, &summary, &capacity), kOsapiSuccess);
    ASSERT_EQ(capacity, 7u);
    std::map<std::string, OsapiFsListEntry*> byName;
    uint64_t sizes = 0;
    for (uint32_t i = 0; i < capacity; ++i) {
        byName[entries[i].name] = &entries[i];
        plat::Stat st;
        ASSERT_EQ(plat::stat((std::string("/DskVol/files/") + entries[i].name).c_str(), &st), 0);
        sizes += st.size;
    }
    EXPECT_STREQ(byName["rw"]->type, "1");
    EXPECT_STREQ(byName["sub"]->type, "2");
    EXPECT_STREQ(byName["."]->type, "6");
    EXPECT_STREQ(byName["rw"]->mode, "-rw-");
    EXPECT_STREQ(byName["ro"]->mode, "-r--");
    EXPECT_STREQ(byName["none"]->mode, "----");
    EXPECT_STREQ(byName["sub"]->mode, "drwx");
    EXPECT_STREQ(byName["rw"]->date, "10 14 2023 22:13:20");  // month counted from 0
    EXPECT_EQ(byName["rw"]->mtime, 1700000000u);
    EXPECT_EQ(byName["rw"]->size, 5u);

    EXPECT_EQ(summary.bytesUsed, sizes);
    plat::StatFs vfs;
    ASSERT_EQ(plat::statfs("/DskVol/files", &vfs), 0);
    EXPECT_EQ(summary.totalSize, uint32_t(vfs.bsize * vfs.blocks));
    EXPECT_EQ(summary.bytesFree, summary.totalSize - summary.bytesUsed);

    // An empty path lists the working directory; a missing one fails.
    OsapiFsDirSummary here{};
    capacity = 2;
    EXPECT_EQ(osapiFsList(entries, &here, &capacity), kOsapiSuccess);
    EXPECT_EQ(capacity, 2u);
    std::snprintf(here.path, sizeof here.path, "/DskVol/nothere");
    EXPECT_EQ(osapiFsList(entries, &here, &capacity), kOsapiFailure);
}

TEST_F(OsapiTest, DirWritesAPrintableListing) {
    plat::mkdir("sub");
    tb.writeFile("image1", std::string(1234, 'x'));
    tb.writeFile(std::string(35, 'N'), "abc");
    char buf[1024];
    ASSERT_EQ(osapiFsDir(buf, sizeof buf), kOsapiSuccess);
    std::string text(buf);
    std::set<std::string> lines;
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos && nl > pos) {
        lines.insert(text.substr(pos, nl - pos + 1));
        pos = nl + 1;
    }
    EXPECT_EQ(lines, (std::set<std::string>{".\n", "..\n", "sub\n",
                                            "image1" + std::string(28, ' ') + "1234\n",
                                            std::string(31, 'N') + "   3\n"}));
    plat::StatFs vfs;
    ASSERT_EQ(plat::statfs("/DskVol/files", &vfs), 0);
    long total = vfs.bsize * vfs.blocks;
    EXPECT_EQ(text.substr(pos), "\nFilesystem size " + std::to_string(total) +
                                    "\nBytes used      1237\nBytes free      " +
                                    std::to_string(total - 1237) + "\n");
    EXPECT_FALSE(tb.exists("dummy1"));

    // Too small: the lines so far, and 1.
    char small[12];
    EXPECT_EQ(osapiFsDir(small, sizeof small), kOsapiFailure);
    EXPECT_LT(std::strlen(small), sizeof small);
    EXPECT_EQ(text.rfind(small, 0), 0u);
    // Room for the lines but not for the figures.
    std::vector<char> noTail(pos + 10);
    EXPECT_EQ(osapiFsDir(noTail.data(), uint32_t(noTail.size())), kOsapiFailure);
    EXPECT_EQ(std::string(noTail.data()), text.substr(0, pos));
}

TEST_F(OsapiTest, DirSizeKeepsItsScratchFile) {
    tb.writeFile("big", std::string(10000, 'b'));
    uint32_t total = 0, used = 0;
    ASSERT_EQ(osapiFsDirSize(&total, &used), kOsapiSuccess);
    EXPECT_TRUE(tb.exists("fsyssize"));
    plat::StatFs vfs;
    ASSERT_EQ(plat::statfs("/DskVol/files", &vfs), 0);
    EXPECT_EQ(total, uint32_t(vfs.bsize * vfs.blocks));
    EXPECT_EQ(used, uint32_t(vfs.bsize * (vfs.blocks - vfs.bfree)));
    EXPECT_GE(used, 10000u);
    EXPECT_EQ(osapiFsDirSize(&total, &used), kOsapiSuccess);  // now opened, not created
    EXPECT_EQ(osapiFsDirSize(nullptr, &used), kOsapiFailure);
}

TEST_F(OsapiTest, RamCreateMakesAVolumeAboveHalfAKilobyte) {
    std::string host;
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 512), kOsapiSuccess);
    EXPECT_FALSE(tb.disk().resolve("/ram0/x", host));
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 513), kOsapiSuccess);
    ASSERT_TRUE(tb.disk().resolve("/ram0/x", host));
    EXPECT_EQ(osapiFsWrite("/ram0/x", "ram", 3), kOsapiSuccess);
    char buf[4] = {};
    EXPECT_EQ(osapiFsRead("/ram0/x", buf, 3), kOsapiSuccess);
    EXPECT_STREQ(buf, "ram");
    // A RAM disk keeps to its size, reports its own figures, and is never made twice.
    std::string bytes(3000, 'r');
    ASSERT_EQ(osapiFsRamCreate(0, "/ram1", 4096), kOsapiSuccess);
    EXPECT_EQ(osapiFsWrite("/ram1/a", bytes.data(), 3000), kOsapiSuccess);
    EXPECT_EQ(osapiFsWrite("/ram1/b", bytes.data(), 2000), kOsapiError);
    EXPECT_EQ(osapiFsRamCreate(0, "/ram1", 8192), kOsapiError);
    EXPECT_EQ(tb.readFile("/ram1/a"), bytes);
    uint32_t total = 0, used = 0;
    ASSERT_EQ(plat::chdir("/ram1"), 0);
    ASSERT_EQ(osapiFsDirSize(&total, &used), kOsapiSuccess);
    EXPECT_EQ(total, 4096u);
    EXPECT_EQ(used, 4096u);  // "a" and the kilobyte of "b" that fitted
    EXPECT_EQ(osapiFsRamCreate(0, "noslash", 4096), kOsapiError);
    EXPECT_EQ(osapiFsRamCreate(0, nullptr, 4096), kOsapiError);
}

}  // namespace
