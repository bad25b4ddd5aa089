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

class Osapi : public stktest::BoardTest {
  protected:
    Osapi() {
        logged.clear();
        zqLogObserverSet([](int severity, int component, const char* file, int line) {
            EXPECT_STREQ(file, "osapi_file");
            logged.push_back({severity, component, line});
        });
    }
};

TEST_F(Osapi, SemaphoresTakeMillisecondsAsTicks) {
    plat::SEM_ID empty = osapiSemaBCreateTrack("f", 1, 0, 0);
    // Pairs of time-out and virtual time waited, at 60 ticks a second. A
    // product of time-out and tick rate that overflows waits without limit,
    // which on the virtual clock gives up at once on an empty semaphore.
    const int64_t waits[] = {
        1000,     1000000, 16,         0, 17,       16666, 35791394, 2147483ll * 1000000 / 60,
        0,        0,       -1,         0, 35791395, 0,     40000000, 0,
        80000000, 0,       0x7FFFFFFF, 0};
    for (size_t i = 0; i < std::size(waits); i += 2) {
        uint64_t start = plat::nowUs();
        EXPECT_EQ(osapiSemaTake(empty, int(waits[i])), kOsapiFailure) << waits[i];
        EXPECT_EQ(int64_t(plat::nowUs() - start), waits[i + 1]) << waits[i];
    }
    plat::SEM_ID full = osapiSemaBCreateTrack("f", 1, 0xFF, 7);
    plat::SEM_ID counting = osapiSemaCCreateTrack("f", 2, 0xFF, 2);
    plat::SEM_ID mutex = osapiSemaMCreateTrack("f", 3, plat::SEM_INVERSION_SAFE);
    uint64_t start = plat::nowUs();
    // -2 is refused without taking; the IO lock is created full on first use
    // and waits in ticks.
    std::vector<int> got = {
        osapiSemaTake(full, -2),    osapiSemaTake(full, 0),     osapiSemaTake(full, 0),
        osapiSemaGive(full),        osapiSemaTake(full, -1),    osapiSemaTake(counting, 0),
        osapiSemaTake(counting, 0), osapiSemaTake(counting, 0), osapiSemaTake(mutex, 0),
        osapiSemaFlush(full),       osapiSemaFlush(mutex),      osapiSemaGive(nullptr),
        osapiSemaDelete(nullptr),   osapiIOSemaGive(),          osapiIOSemaTake(0),
        osapiIOSemaTake(30)};
    EXPECT_EQ(got, (std::vector<int>{2, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 1, 1, 0, 1}));
    EXPECT_EQ(plat::nowUs() - start, 500000u);
    for (plat::SEM_ID s : {empty, full, counting, mutex}) EXPECT_EQ(osapiSemaDelete(s), 0);
}

std::vector<std::pair<uint32_t, uint32_t>> notified;
TEST_F(Osapi, TransferProgressHook) {
    osapiTransferBytesCompletedNotify(1, 2);  // nothing stored: nothing happens
    EXPECT_EQ(osapiTransferBytesCompletedNotifyRegister(nullptr), kOsapiFailure);
    osapiTransferBytesCompletedNotifyRegister([](uint32_t n, uint32_t t) {
        notified.push_back({n, t});
    });
    osapiTransferBytesCompletedNotify(100, 400);
    EXPECT_EQ(osapiTransferBytesCompletedNotifyDeRegister(), kOsapiSuccess);
    osapiTransferBytesCompletedNotify(200, 400);
    EXPECT_EQ(notified, (std::vector<std::pair<uint32_t, uint32_t>>{{100, 400}}));
}

TEST_F(Osapi, Files) {
    uint32_t size = 99, len = 16, missing = 99;
    char buf[16] = {}, name[] = "data";
    int fd = -1, created = -1;
    // The second write cuts the old tail; the IO lock is left free; a read
    // after the close fails; a rename onto itself never loses the file.
    // clang-format off
    std::vector<int> got = {
        osapiFsFileExist(name), osapiFsWrite(name, "0123456789", 10), osapiFsWrite(name, "abc", 3),
        osapiFsFileExist(name), osapiFsFileSizeGet(name, &size), osapiFsOpen(name, &fd),
        osapiFileReadWithLen(fd, buf, &len), osapiFileSeek(fd, 1, 0), osapiFileRead(fd, buf + 3, 1),
        osapiFsRead(name, buf + 4, 2), osapiFileSeek(fd, -5, 0), osapiFsWriteNoClose(fd, "yz", 2),
        osapiFsClose(fd), osapiIOSemaTake(0), osapiFileReadWithLen(fd, buf, &len),
        osapiFsFileSizeGet("missing", &missing), osapiFsRead("missing", buf, 2),
        osapiFsWrite("/none/w", "a", 1), osapiFsCreateFile("/none/n"),
        osapiFsFileCreate("/none/n", &created), osapiFsCreateFile("c"), osapiFsCopyFile(name, "dst"),
        osapiFsRenameFile(name, "dst"), osapiFsRenameFile("dst", "/DskVol/files/dst"),
        osapiFsCopyFile(name, "x"), osapiFsRenameFile(name, "dst"), osapiFsDeleteFile("c"),
        osapiFsDeleteFile("c")};
    // clang-format on
    EXPECT_EQ(got, (std::vector<int>{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,
                                     2, 2, 2, 2, 2, 1, 0, 0, 0, 0, 2, 2, 0, 2}));
    EXPECT_EQ(std::string(buf, 6), "abcbab");
    EXPECT_EQ(size * 100 + len * 10 + missing, 300u);
    EXPECT_EQ(tb.readFile("dst"), "abyz");
    tb.disk().failWriteAt(1);
    EXPECT_EQ(osapiFsWrite("w", "abc", 3), kOsapiError);
    tb.disk().setFreeBytes(2);
    EXPECT_EQ(osapiFsWrite("w", "abc", 3), kOsapiError);  // cut short
    EXPECT_TRUE(logged.empty());
}

TEST_F(Osapi, FailuresAreLoggedWithTheirPlace) {
    fs::create_symlink("/dev/null", tb.hostPath("null"));  // takes writes, cannot be truncated
    EXPECT_EQ(osapiFsWrite("null", "abc", 3), kOsapiError);
    for (int error : {30, 9, 5}) osapiFsTruncateFailureReport(error);
    int fd = -1;
    ASSERT_EQ(osapiFsFileCreate("x", &fd), kOsapiSuccess);
    EXPECT_EQ(std::vector<int>({osapiFsClose(fd), osapiFsClose(-7), osapiFsClose(fd)}),
              std::vector<int>({0, 2, 2}));
    std::string expected;
    for (auto [what, so] :
         {std::pair{"File descriptor refers to a file on which this operation is "
                    "impossible.",
                    "This"},
          {"File resides on a read-only file system.", "The file system is R/W so this"},
          {"File is open for reading only.", "The file is opened for R/W so this"},
          {"Returned an unknown code in errno.", "This"}})
        expected += std::string("ftruncate failed  ") + what +
                    " ftruncate is called to correctly "
                    "set the files size in the file system after a write. " +
                    so + " msg indicates the file system may be corrupted.\n";
    EXPECT_EQ(con().output(), expected +
                                  "File close failed as the descriptor -7 is invalid \n"
                                  "File close failed for descriptor " +
                                  std::to_string(fd) + " \n");
    const int places[] = {5, 66, 763, 5, 66, 750, 5, 66, 756, 5, 66, 769, 3, 66, 647, 3, 66, 657};
    for (size_t i = 0; i < logged.size() && i < 6; ++i)
        EXPECT_EQ(logged[i], std::vector<int>(places + 3 * i, places + 3 * i + 3));
    EXPECT_EQ(logged.size(), 6u);
}

TEST_F(Osapi, Directories) {
    for (auto [name, perms] :
         std::map<std::string, fs::perms>{{"rw", fs::perms::owner_read | fs::perms::owner_write},
                                          {"ro", fs::perms::owner_read},
                                          {"wo", fs::perms::owner_write},
                                          {"no", fs::perms::none}}) {
        tb.writeFile(name, "12345");
        fs::permissions(tb.hostPath(name), perms);
    }
    plat::mkdir("sub");
    fs::last_write_time(tb.hostPath("rw"),
                        fs::file_time_type::clock::from_sys(
                            std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
    // {name, type, access, size} from the iterator, twice: after the last
    // entry it starts over.
    std::map<std::string, std::vector<uint32_t>> seen;
    OsapiFsIterEntry e;
    int rc;
    for (int pass = 0; pass < 2; ++pass)
        while ((rc = osapiFsDirFilesGet("/DskVol/files", &e)) == kOsapiSuccess)
            seen[e.name].insert(seen[e.name].end(), {e.type, e.access, e.size});
    EXPECT_EQ(rc, kOsapiNothingMore);
    EXPECT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen["rw"], (std::vector<uint32_t>{1, 2, 5, 1, 2, 5}));
    EXPECT_EQ(seen["."][0] + seen[".."][0] + seen["sub"][0], 6 + 6 + 2u);
    EXPECT_EQ(seen["ro"][1] * 100 + seen["wo"][1] * 10 + seen["no"][1], 134u);
    EXPECT_EQ(osapiFsDirFilesGet(nullptr, &e) + osapiFsDirFilesGet("/DskVol/nothere", &e), 2);

    tb.writeFile(std::string(40, 'L'), "xy");  // listed with 31 characters of its name
    OsapiFsCompactEntry compact[20];
    uint32_t none = 0, capacity = 20;
    EXPECT_EQ(osapiFsListCompact(nullptr, &none) + osapiFsListCompact(compact, &capacity), 0);
    EXPECT_EQ(none * 100 + capacity, 8u);
    EXPECT_EQ(
        std::count_if(compact, compact + 8, [](auto& c) { return c.name == std::string(31, 'L'); }),
        1);
    OsapiFsListEntry full[20];
    OsapiFsDirSummary summary{"/DskVol/files", 0, 0, 0};
    ASSERT_EQ(osapiFsList(full, &summary, &(capacity = 20)), kOsapiSuccess);
    std::map<std::string, std::string> shown;
    for (uint32_t i = 0; i < capacity; ++i)
        shown[full[i].name] = std::string(full[i].type) + full[i].mode + full[i].date;
    EXPECT_EQ(shown["rw"], "1-rw-10 14 2023 22:13:20");  // month counted from 0
    EXPECT_EQ(shown["sub"].substr(0, 5) + shown["no"].substr(0, 5), "2drwx1----");
    EXPECT_EQ(summary.bytesUsed + summary.bytesFree, summary.totalSize);
    EXPECT_GE(summary.bytesUsed, 22u);

    char text[2048];
    ASSERT_EQ(osapiFsDir(text, sizeof text), kOsapiSuccess);
    EXPECT_NE(std::string(text).find("\nrw" + std::string(32, ' ') + "5\n"), std::string::npos);
    EXPECT_NE(std::string(text).find("\nBytes used      22\nBytes free      "), std::string::npos);
    EXPECT_EQ(osapiFsDir(text, 12), kOsapiFailure);
    EXPECT_LT(std::string(text).size(), 12u);
    uint32_t total = 0, used = 0;
    EXPECT_EQ(osapiFsDirSize(&total, &used), kOsapiSuccess);
    EXPECT_TRUE(tb.exists("fsyssize") && !tb.exists("dummy1") && used > 0 && used < total);
}

TEST_F(Osapi, RamDiskAboveHalfAKilobyte) {
    char buf[4] = {};
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 512) + osapiFsWrite("/ram0/x", "r", 1), 0 + 2);
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 513) + osapiFsWrite("/ram0/x", "ram", 3), 0);
    EXPECT_EQ(osapiFsRead("/ram0/x", buf, 3), kOsapiSuccess);
    EXPECT_STREQ(buf, "ram");
    EXPECT_EQ(osapiFsRamCreate(0, "noslash", 4096) + osapiFsRamCreate(0, nullptr, 4096), 4);
}

}  // namespace
