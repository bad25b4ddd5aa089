#include "osapi/osapi.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "eventlog/eventlog.h"
#include "support/test_board.h"

namespace {

namespace fs = std::filesystem;
std::vector<std::vector<int>> logged;  // severity, component, line
void recordPlace(int severity, int component, const char* file, int line) {
    EXPECT_STREQ(file, "osapi_file");
    logged.push_back({severity, component, line});
}

class Osapi : public stktest::BoardTest {
  protected:
    Osapi() { logged.clear(), zqLogObserverSet(recordPlace); }
};

TEST_F(Osapi, SemaphoresTakeMillisecondsAsTicks) {
    plat::SEM_ID empty = osapiSemaBCreateTrack("f", 1, 0, 0);
    // {time-out, virtual time waited}: 60 ticks a second; a product of time-out
    // and tick rate that overflows waits without limit, which on the virtual
    // clock gives up at once on an empty semaphore.
    const std::pair<int, uint64_t> waits[] = {
        {1000, 1000000}, {16, 0},        {17, 16666},   {35791394, 2147483ull * 1000000 / 60},
        {0, 0},          {-1, 0},        {35791395, 0}, {40000000, 0},
        {80000000, 0},   {0x7FFFFFFF, 0}};
    for (auto [ms, waited] : waits) {
        uint64_t start = plat::nowUs();
        EXPECT_EQ(osapiSemaTake(empty, ms), kOsapiFailure) << ms;
        EXPECT_EQ(plat::nowUs() - start, waited) << ms;
    }
    plat::SEM_ID full = osapiSemaBCreateTrack("f", 1, 0xFF, 7);
    EXPECT_EQ(osapiSemaTake(full, -2), kOsapiError);  // refused without taking
    EXPECT_EQ(osapiSemaTake(full, 0), kOsapiSuccess);
    EXPECT_EQ(osapiSemaGive(full), kOsapiSuccess);
    EXPECT_EQ(osapiSemaTake(full, -1), kOsapiSuccess);
    plat::SEM_ID counting = osapiSemaCCreateTrack("f", 2, 0xFF, 3);
    for (int expected : {0, 0, 0, 1}) EXPECT_EQ(osapiSemaTake(counting, 0), expected);
    plat::SEM_ID mutex = osapiSemaMCreateTrack("f", 3, plat::SEM_INVERSION_SAFE);
    EXPECT_EQ(osapiSemaTake(mutex, 0), kOsapiSuccess);
    EXPECT_EQ(osapiSemaFlush(full), kOsapiSuccess);
    EXPECT_EQ(osapiSemaFlush(mutex), kOsapiFailure);  // the kernel refuses
    EXPECT_EQ(osapiSemaGive(nullptr) + osapiSemaFlush(nullptr) + osapiSemaDelete(nullptr) +
                  osapiSemaTake(nullptr, 0),
              4 * kOsapiFailure);
    for (plat::SEM_ID s : {empty, full, counting, mutex}) EXPECT_EQ(osapiSemaDelete(s), 0);

    EXPECT_EQ(osapiIOSemaGive(), kOsapiFailure);  // created full on first use
    EXPECT_EQ(osapiIOSemaTake(0), kOsapiSuccess);
    uint64_t start = plat::nowUs();
    EXPECT_EQ(osapiIOSemaTake(30), kOsapiFailure);
    EXPECT_EQ(plat::nowUs() - start, 500000u);  // ticks, not milliseconds
    EXPECT_EQ(osapiIOSemaGive(), kOsapiSuccess);
}

std::vector<std::pair<uint32_t, uint32_t>> notified;
TEST_F(Osapi, TransferProgressHook) {
    osapiTransferBytesCompletedNotify(1, 2);  // nothing stored: nothing happens
    EXPECT_EQ(osapiTransferBytesCompletedNotifyRegister(nullptr), kOsapiFailure);
    EXPECT_EQ(osapiTransferBytesCompletedNotifyRegister(
                  [](uint32_t done, uint32_t total) { notified.emplace_back(done, total); }),
              kOsapiSuccess);
    osapiTransferBytesCompletedNotify(100, 400);
    EXPECT_EQ(osapiTransferBytesCompletedNotifyDeRegister(), kOsapiSuccess);
    osapiTransferBytesCompletedNotify(200, 400);
    EXPECT_EQ(notified, (std::vector<std::pair<uint32_t, uint32_t>>{{100, 400}}));
}

TEST_F(Osapi, Files) {
    EXPECT_EQ(osapiFsFileExist("data"), 0);
    ASSERT_EQ(osapiFsWrite("data", "0123456789", 10), kOsapiSuccess);
    ASSERT_EQ(osapiFsWrite("data", "abc", 3), kOsapiSuccess);
    EXPECT_EQ(tb.readFile("data"), "abc");  // the old tail is gone
    uint32_t size = 99, len = 16;
    EXPECT_EQ(osapiFsFileSizeGet("data", &size), kOsapiSuccess);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(osapiFsFileSizeGet("missing", &size), kOsapiError);
    EXPECT_EQ(size, 0u);
    char buf[16] = {};
    EXPECT_EQ(osapiFsRead("data", buf, 2), kOsapiSuccess);
    EXPECT_EQ(osapiFsRead("missing", buf, 2), kOsapiError);
    int fd = -1;
    ASSERT_EQ(osapiFsOpen("data", &fd), kOsapiSuccess);
    EXPECT_EQ(osapiFileReadWithLen(fd, buf, &len), kOsapiSuccess);
    EXPECT_EQ(std::string(buf, len), "abc");
    EXPECT_EQ(osapiFileSeek(fd, 1, 0) + osapiFileRead(fd, buf, 1), kOsapiSuccess);
    EXPECT_EQ(buf[0], 'b');
    EXPECT_EQ(osapiFileSeek(fd, -5, 0), kOsapiFailure);
    EXPECT_EQ(osapiFsWriteNoClose(fd, "yz", 2), kOsapiSuccess);
    EXPECT_EQ(osapiFsClose(fd), kOsapiSuccess);
    EXPECT_EQ(osapiIOSemaTake(0), kOsapiSuccess);  // the wrappers leave the IO lock free
    EXPECT_EQ(osapiIOSemaGive(), kOsapiSuccess);
    EXPECT_EQ(osapiFileReadWithLen(fd, buf, &len), kOsapiError);  // closed now
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(tb.readFile("data"), "abyz");
    EXPECT_TRUE(logged.empty());

    tb.disk().failWriteAt(1);
    EXPECT_EQ(osapiFsWrite("w", "abc", 3), kOsapiError);
    tb.disk().setFreeBytes(2);
    EXPECT_EQ(osapiFsWrite("w", "abc", 3), kOsapiError);  // cut short
    tb.disk().clearFaults();
    EXPECT_EQ(osapiFsWrite("/nodevice/w", "abc", 3) + osapiFsCreateFile("/nodevice/n"),
              2 * kOsapiError);
    EXPECT_EQ(osapiFsFileCreate("/nodevice/n", &fd), kOsapiFailure);
    EXPECT_EQ(osapiFsCreateFile("c"), kOsapiSuccess);
    EXPECT_EQ(tb.readFile("c"), "");

    tb.writeFile("old", "new");
    EXPECT_EQ(osapiFsCopyFile("old", "dst") + osapiFsRenameFile("old", "dst"), kOsapiSuccess);
    EXPECT_EQ(osapiFsCopyFile("missing", "x") + osapiFsRenameFile("missing", "dst"),
              2 * kOsapiError);
    EXPECT_EQ(osapiFsRenameFile("dst", "/DskVol/files/dst"), kOsapiSuccess);  // never loses it
    EXPECT_EQ(tb.readFile("dst"), "new");
    EXPECT_FALSE(tb.exists("old"));
    EXPECT_EQ(osapiFsDeleteFile("dst"), kOsapiSuccess);
    EXPECT_EQ(osapiFsDeleteFile("dst"), kOsapiError);
}

TEST_F(Osapi, FailuresAreLoggedWithTheirPlace) {
    fs::create_symlink("/dev/null", tb.hostPath("null"));  // takes writes, cannot be truncated
    EXPECT_EQ(osapiFsWrite("null", "abc", 3), kOsapiError);
    for (int error : {30, 9, 5}) osapiFsTruncateFailureReport(error);
    int fd = -1;
    ASSERT_EQ(osapiFsFileCreate("x", &fd), kOsapiSuccess);
    ASSERT_EQ(osapiFsClose(fd), kOsapiSuccess);
    EXPECT_EQ(osapiFsClose(-7) + osapiFsClose(fd), 2 * kOsapiError);
    const std::string why =
        " ftruncate is called to correctly set the files size in the file "
        "system after a write.";
    const std::string corrupt = " This msg indicates the file system may be corrupted.\n";
    EXPECT_EQ(con().output(),
              "ftruncate failed  File descriptor refers to a file on which this operation is "
              "impossible." +
                  why + corrupt + "ftruncate failed  File resides on a read-only file system." +
                  why +
                  " The file system is R/W so this msg indicates the file system may be "
                  "corrupted.\nftruncate failed  File is open for reading only." +
                  why +
                  " The file is opened for R/W so this msg indicates the file system may be "
                  "corrupted.\nftruncate failed  Returned an unknown code in errno." +
                  why + corrupt +
                  "File close failed as the descriptor -7 is invalid \nFile close "
                  "failed for descriptor " +
                  std::to_string(fd) + " \n");
    EXPECT_EQ(
        logged,
        (std::vector<std::vector<int>>{
            {5, 66, 763}, {5, 66, 750}, {5, 66, 756}, {5, 66, 769}, {3, 66, 647}, {3, 66, 657}}));
}

TEST_F(Osapi, Directories) {
    for (auto [name, perms] : {std::pair{"rw", fs::perms::owner_read | fs::perms::owner_write},
                               {"ro", fs::perms::owner_read},
                               {"wo", fs::perms::owner_write},
                               {"none", fs::perms::none}}) {
        tb.writeFile(name, "12345");
        fs::permissions(tb.hostPath(name), perms);
    }
    plat::mkdir("sub");
    std::map<std::string, OsapiFsIterEntry> seen;
    OsapiFsIterEntry e;
    int rc;
    for (int pass = 0; pass < 2; ++pass)  // the call after the last entry starts over
        while ((rc = osapiFsDirFilesGet("/DskVol/files", &e)) == kOsapiSuccess) seen[e.name] = e;
    EXPECT_EQ(rc, kOsapiNothingMore);
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen["."].type + seen[".."].type + seen["sub"].type + seen["rw"].type, 6 + 6 + 2 + 1);
    EXPECT_EQ(seen["rw"].size, 5u);
    EXPECT_EQ(std::vector<uint32_t>(
                  {seen["rw"].access, seen["ro"].access, seen["wo"].access, seen["none"].access}),
              std::vector<uint32_t>({2, 1, 3, 4}));
    EXPECT_EQ(osapiFsDirFilesGet(nullptr, &e) + osapiFsDirFilesGet("/DskVol/nothere", &e), 2);

    OsapiFsCompactEntry compact[20];
    uint32_t capacity = 0;
    EXPECT_EQ(osapiFsListCompact(nullptr, &capacity), kOsapiSuccess);
    EXPECT_EQ(capacity, 0u);
    tb.writeFile(std::string(40, 'L'), "xy");
    capacity = 20;
    EXPECT_EQ(osapiFsListCompact(compact, &capacity), kOsapiSuccess);
    ASSERT_EQ(capacity, 8u);
    EXPECT_EQ(
        std::count_if(compact, compact + 8, [](auto& c) { return c.name == std::string(31, 'L'); }),
        1);

    fs::last_write_time(tb.hostPath("rw"),
                        fs::file_time_type::clock::from_sys(std::chrono::sys_seconds{
                            std::chrono::seconds{1700000000}}));  // 2023-11-14 22:13:20
    OsapiFsListEntry full[20];
    OsapiFsDirSummary summary{"/DskVol/files", 0, 0, 0};
    capacity = 20;
    ASSERT_EQ(osapiFsList(full, &summary, &capacity), kOsapiSuccess);
    std::map<std::string, OsapiFsListEntry*> byName;
    for (uint32_t i = 0; i < capacity; ++i) byName[full[i].name] = &full[i];
    const OsapiFsListEntry& rw = *byName["rw"];
    EXPECT_EQ(std::string(rw.type) + rw.mode + rw.date + byName["sub"]->mode + byName["none"]->mode,
              "1-rw-10 14 2023 22:13:20drwx----");  // month counted from 0
    EXPECT_EQ(rw.mtime, 1700000000u);
    EXPECT_EQ(summary.bytesUsed, summary.totalSize - summary.bytesFree);
    EXPECT_GE(summary.bytesUsed, 4 * 5 + 2u);
    EXPECT_EQ(osapiFsList(full, &summary, &(capacity = 0)), kOsapiSuccess);

    char text[2048];
    ASSERT_EQ(osapiFsDir(text, sizeof text), kOsapiSuccess);
    EXPECT_NE(std::string(text).find("\nrw" + std::string(32, ' ') + "5\n"), std::string::npos);
    EXPECT_NE(std::string(text).find("\nBytes used      22\nBytes free      "), std::string::npos);
    EXPECT_FALSE(tb.exists("dummy1"));
    EXPECT_EQ(osapiFsDir(text, 12), kOsapiFailure);
    EXPECT_LT(std::string(text).size(), 12u);
    uint32_t total = 0, used = 0;
    EXPECT_EQ(osapiFsDirSize(&total, &used), kOsapiSuccess);
    EXPECT_TRUE(tb.exists("fsyssize") && used > 0 && used < total);
}

TEST_F(Osapi, RamDiskAboveHalfAKilobyte) {
    std::string host;
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 512), kOsapiSuccess);
    EXPECT_FALSE(tb.disk().resolve("/ram0/x", host));
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 513), kOsapiSuccess);
    EXPECT_EQ(osapiFsWrite("/ram0/x", "ram", 3), kOsapiSuccess);
    char buf[4] = {};
    EXPECT_EQ(osapiFsRead("/ram0/x", buf, 3), kOsapiSuccess);
    EXPECT_STREQ(buf, "ram");
    EXPECT_EQ(osapiFsRamCreate(0, "noslash", 4096) + osapiFsRamCreate(0, nullptr, 4096), 4);
}

}  // namespace
