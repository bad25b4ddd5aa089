// Whether the transfer command linked in is the real one.
#include "support/pty_harness.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace stktest {

bool xmodemEngineAvailable() {
    static int known = -1;
    if (known < 0) {
        TestBoard board;
        board.run([] { xmodem(""); });
        known = board.con().output().find("Usage:") != std::string::npos ? 1 : 0;
    }
    return known == 1;
}

}  // namespace stktest
