#include "osapi/osapi.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "eventlog/eventlog.h"
#include "support/test_board.h"

namespace {

std::vector<int> logged;  // severity, component and line of each record

class Osapi : public stktest::BoardTest {
  protected:
    Osapi() {
        logged.clear();
        zqLogObserverSet([](int severity, int component, const char* file, int line) {
            EXPECT_STREQ(file, "osapi_file");
            logged.insert(logged.end(), {severity, component, line});
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
        osapiIOSemaGive(),          osapiIOSemaTake(0),         osapiIOSemaTake(30),
        osapiSemaDelete(nullptr)};
    EXPECT_EQ(got, (std::vector<int>{2, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 1, 0, 1, 1}));
    EXPECT_EQ(plat::nowUs() - start, 500000u);
    for (plat::SEM_ID s : {empty, full, counting, mutex}) EXPECT_EQ(osapiSemaDelete(s), 0);
}

TEST_F(Osapi, FilesAndTheirFailureRecords) {
    int fd = -1;
    char buf[8] = {};
    uint32_t size = 0;
    tb.writeFile("old", "0123456789");
    // The write cuts the old tail; a rename replaces; a copy never goes onto itself.
    std::vector<int> got = {osapiFsWrite("old", "abc", 3),
                            osapiFsFileSizeGet("old", &size),
                            osapiFsCopyFile("old", "new"),
                            osapiFsRenameFile("new", "dst"),
                            osapiFsRenameFile("old", "dst"),
                            osapiFsRenameFile("old", "dst"),
                            osapiFsCopyFile("dst", "./dst"),
                            osapiFsCopyFile("dst", "dst"),
                            osapiFsCopyFile("dst", "/DskVol/files/dst"),
                            osapiFsRead("dst", buf, 3),
                            osapiFsFileExist("new"),
                            osapiFsClose(-7)};
    EXPECT_EQ(got, (std::vector<int>{0, 0, 0, 0, 0, 2, 2, 2, 2, 0, 0, 2}));
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(size, 3u);
    // A pipe takes writes but cannot be truncated; then each other errno.
    ASSERT_EQ(::mkfifo(tb.hostPath("pipe").c_str(), 0644), 0);
    EXPECT_EQ(osapiFsWrite("pipe", "abc", 3), kOsapiError);
    for (int error : {30, 9, 5}) osapiFsTruncateFailureReport(error);
    ASSERT_EQ(osapiFsFileCreate("x", &fd), kOsapiSuccess);
    ASSERT_EQ(osapiFsClose(fd), kOsapiSuccess);
    EXPECT_EQ(osapiFsClose(fd), kOsapiError);
    // The failure texts, one per errno, and the close of a closed descriptor.
    EXPECT_EQ(con().output(), stktest::readHostFile(STK_SOURCE_DIR "/tests/osapi/golden.txt") +
                                  "File close failed for descriptor " + std::to_string(fd) + " \n");
    EXPECT_EQ(logged, (std::vector<int>{3, 66, 647, 5, 66, 763, 5, 66, 750, 5, 66, 756, 5, 66, 769,
                                        3, 66, 657}));
}

TEST_F(Osapi, Directories) {
    namespace fs = std::filesystem;
    const std::pair<const char*, fs::perms> files[] = {
        {"rw", fs::perms::owner_read | fs::perms::owner_write},
        {"ro", fs::perms::owner_read},
        {"wo", fs::perms::owner_write},
        {"no", fs::perms::none}};
    for (auto [name, perms] : files) {
        tb.writeFile(name, "12345");
        fs::permissions(tb.hostPath(name), perms);
    }
    plat::mkdir("sub");
    OsapiFsIterEntry e;
    std::vector<std::string> seen;  // name, type and access; after the end it starts over
    for (int call = 0; call < 9; ++call) {
        int rc = osapiFsDirFilesGet("/DskVol/files", &e);
        seen.push_back(rc ? std::to_string(rc) : e.name + std::to_string(e.type * 10 + e.access));
    }
    EXPECT_EQ(seen[8], seen[0]);
    seen.pop_back();
    std::sort(seen.begin(), seen.begin() + 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"..62", ".62", "no14", "ro11", "rw12", "sub22",
                                              "wo13", std::to_string(kOsapiNothingMore)}));

    fs::last_write_time(tb.hostPath("rw"),
                        fs::file_time_type::clock::from_sys(
                            std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
    OsapiFsListEntry full[10];
    OsapiFsDirSummary summary{"", 0, 0, 0};
    uint32_t capacity = 10, none = 0;
    ASSERT_EQ(osapiFsList(full, &summary, &capacity), kOsapiSuccess);
    ASSERT_EQ(osapiFsListCompact(nullptr, &none), kOsapiSuccess);
    auto rw =
        std::find_if(full, full + capacity, [](auto& f) { return f.name == std::string("rw"); });
    // Month counted from 0.
    EXPECT_STREQ(rw->type, "1");
    EXPECT_STREQ(rw->mode, "-rw-");
    EXPECT_STREQ(rw->date, "10 14 2023 22:13:20");
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(summary.bytesUsed + summary.bytesFree, summary.totalSize);
    char buf[4] = {};
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 512), kOsapiSuccess);  // too small: nothing is made
    EXPECT_EQ(osapiFsWrite("/ram0/x", "r", 1), kOsapiError);
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 513), kOsapiError);  // no room for a FAT volume
    EXPECT_EQ(osapiFsRamCreate(0, "/DskVol", 65536), kOsapiError);
    EXPECT_EQ(osapiFsRamCreate(0, "/ram0", 65536), kOsapiSuccess);
    EXPECT_EQ(osapiFsWrite("/ram0/x", "ram", 3), kOsapiSuccess);
    EXPECT_EQ(osapiFsRead("/ram0/x", buf, 3), kOsapiSuccess);
    EXPECT_STREQ(buf, "ram");
    // A RAM disk keeps to its size, reports its own figures, and is never made twice.
    plat::StatFs ram;
    ASSERT_EQ(osapiFsRamCreate(0, "/ram1", 16384), kOsapiSuccess);
    ASSERT_EQ(plat::statfs("/ram1", &ram), 0);
    std::string bytes(size_t(ram.bsize * ram.bfree), 'r');
    uint32_t total = 0, used = 0;
    std::vector<int> got = {osapiFsWrite("/ram1/a", bytes.data(), uint32_t(bytes.size())),
                            osapiFsWrite("/ram1/b", "b", 1), osapiFsRamCreate(0, "/ram1", 8192),
                            plat::chdir("/ram1"), osapiFsDirSize(&total, &used)};
    EXPECT_EQ(got, (std::vector<int>{0, 2, 2, 0, 0}));
    EXPECT_EQ(tb.readFile("/ram1/a"), bytes);
    EXPECT_EQ(total, uint32_t(ram.bsize * ram.blocks));
    EXPECT_EQ(used, total);
}

}  // namespace
