// Event log retrieval to rx on the board's pseudo-terminal, as a terminal
// program's receive command runs it: rx flushes its line as it ends, which on
// a pseudo-terminal may throw its last ACK away before the boot program reads
// it.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "eventlog/retrieve.h"
#include "support/pty_harness.h"
#include "support/test_board.h"

namespace {

// Reads the terminal's end of the line into `seen` until it holds `text`.
bool lineShows(int fd, const std::string& text, std::string& seen) {
    char buf[4096];
    struct pollfd p {
        fd, POLLIN, 0
    };
    for (int i = 0; i < 200 && seen.find(text) == std::string::npos; ++i) {
        ssize_t n = ::poll(&p, 1, 100) == 1 ? ::read(fd, buf, sizeof buf) : 0;
        seen.append(buf, size_t(n > 0 ? n : 0));
    }
    return seen.find(text) != std::string::npos;
}

TEST(EventLogOverPty, EndsWithItsMessageWithinSecondsEveryTime) {
    stktest::HostLineBoard board(true);
    ASSERT_TRUE(board.ok());
    board.clock().longSleepUs = 100000;  // the pause after the transfer: rx ends in it
    std::string peerDir = stktest::makeTempDir("stkrx-");
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        int rc = -1;
        std::string seen;
        std::thread operatorAtTheTerminal([&] {
            if (!lineShows(board.lineFd(), "transfer starts.", seen)) return;
            ::usleep(600000);  // reading the announcement
            rc = stktest::runOnLine(board.linePath(), peerDir, {"rx", "-c", "log.txt"}, 30000);
        });
        auto start = std::chrono::steady_clock::now();
        send_event_log_via_xmodem();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        operatorAtTheTerminal.join();
        EXPECT_EQ(rc, 0);
        EXPECT_LT(took.count(), 5.0);  // an EOT without answer waits 15 s
        EXPECT_TRUE(lineShows(board.lineFd(), "Event log transmitted.", seen)) << seen;
        std::remove((peerDir + "/log.txt").c_str());
    }
    stktest::removeTree(peerDir);
}

}  // namespace
