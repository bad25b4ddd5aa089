#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

using Volume = stktest::BoardTest;

TEST_F(Volume, NamesCannotLeaveIt) {
    plat::Volume* vol = nullptr;
    std::string path;
    ASSERT_TRUE(plat::resolve("../../../../etc/passwd", &vol, &path));
    EXPECT_EQ(vol, plat::mountedVolume("/DskVol"));
    EXPECT_EQ(path, "etc/passwd");
    EXPECT_FALSE(plat::resolve("/etc/passwd", &vol, &path));
}

// The host volume's faults, each acting on the call it names and no other:
// "ab", "cd" and "ef" written to a new file, then the file read back through
// the file calls.
struct FaultCase {
    const char* name;
    std::function<void(plat::FolderDisk&)> fault;
    std::vector<long> writes;  // each write's result, until a power cut
    int error;                 // the error of the failed write (0: none failed)
    const char* readBack;
};

const FaultCase kFaults[] = {
    {"None", [](auto&) {}, {2, 2, 2}, 0, "abcdef"},
    {"SecondWriteFails", [](auto& d) { d.failWriteAt(2); }, {2, -1, 2}, EIO, "abef"},
    {"FreeSpaceRunsOut", [](auto& d) { d.setFreeBytes(3); }, {2, 1, -1}, ENOSPC, "abc"},
    // The open for writing is the first changing operation, so the second write is the third.
    {"PowerCutAtTheSecondWrite", [](auto& d) { d.powerLossAt(3); }, {2}, 0, "ab"},
    {"ReadsFlipped", [](auto& d) { d.corruptReadsOf("f.bin", 32); }, {2, 2, 2}, 0, "ABCDEF"},
};

TEST_F(Volume, FaultsActOnTheCallTheyName) {
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(c.name);
        plat::unlink("f.bin");
        c.fault(tb.disk());
        std::vector<long> writes;
        int error = 0;
        int fd = plat::open("f.bin", plat::kOpenWrite | plat::kOpenCreate, 0);
        tb.run([&] {
            for (const char* part : {"ab", "cd", "ef"}) {
                writes.push_back(plat::write(fd, part, 2));
                if (writes.back() < 0) error = plat::lastError();
            }
        });
        plat::close(fd);
        char buf[16] = {};
        fd = plat::open("f.bin", plat::kOpenRead, 0);
        EXPECT_GE(plat::read(fd, buf, sizeof buf - 1), 0);
        plat::close(fd);
        tb.disk().clearFaults();
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(error, c.error);
        EXPECT_STREQ(buf, c.readBack);
    }
}

size_t openHostFiles() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(Volume, AResetClosesTheHostFilesOfOpenDescriptors) {
    size_t before = openHostFiles();
    ASSERT_GE(plat::open("held.bin", plat::kOpenReadWrite | plat::kOpenCreate, 0), 0);
    ASSERT_EQ(openHostFiles(), before + 1);
    tb.powerOn();
    EXPECT_EQ(openHostFiles(), before);
}

// What a pseudo-terminal was given has left the line: the flush before a
// transfer must not take back an announcement the peer has not read yet, not
// even what waits behind a full input queue of the peer.
TEST(HostConsole, AFlushOnAPseudoTerminalKeepsWhatWasWritten) {
    stktest::HostLineBoard board;
    ASSERT_TRUE(board.ok());
    const std::string text(6000, 'a');
    ASSERT_EQ(plat::conWrite(text.data(), text.size()), long(text.size()));
    ASSERT_EQ(plat::ioctl(plat::kConsoleFd, plat::FIOFLUSH, 0), 0);
    std::string got;
    char buf[4096];
    for (struct pollfd p{board.lineFd(), POLLIN, 0}; ::poll(&p, 1, 200) == 1;)
        got.append(buf, size_t(std::max<ssize_t>(0, ::read(board.lineFd(), buf, sizeof buf))));
    EXPECT_EQ(got.size(), text.size());
}

// A drain on the pseudo-terminal waits until the terminal program has read
// everything, so that nothing is lost when the program ends right after.
TEST(HostConsole, ADrainWaitsUntilTheTerminalHasReadEverything) {
    stktest::HostLineBoard board(true);
    ASSERT_TRUE(board.ok());
    ASSERT_EQ(plat::conWrite(std::string(3000, 'a').data(), 3000), 3000);
    std::thread terminal([&] {
        char buf[4096];
        ::usleep(300000);
        for (struct pollfd p{board.lineFd(), POLLIN, 0}; ::poll(&p, 1, 200) == 1;)
            [[maybe_unused]] ssize_t n = ::read(board.lineFd(), buf, sizeof buf);
    });
    plat::board().console().drain();
    int queued = -1;
    EXPECT_EQ(::ioctl(board.lineFd(), FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 0);
    terminal.join();
}

}  // namespace
