// The simulated board of a test: a fresh folder, a scripted console and a
// virtual clock, installed as the process-wide board for one test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/host/board.h"
#include "platform/host/folder_volume.h"
#include "platform/platform.h"
#include "support/board_setup.h"
#include "support/golden.h"
#include "support/pty_harness.h"
#include "support/scripted_console.h"

namespace stktest {

// For EXPECT_TRUE: whether `text` holds `part`; a failure shows both.
inline ::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

class TestBoard {
  public:
    // formatted: the flash disk is formatted, mounted, and the working
    // directory is "/DskVol/files", as after start-up.
    explicit TestBoard(bool formatted = true) : dir_(makeTempDir("stkboard-")) {
        powerOn();
        if (formatted) formatAndEnterFiles();
    }
    ~TestBoard() {
        plat::uninstallBoard();
        removeTree(dir_);
    }

    // A new console, clock and devices on the same folder, as at the next power-on.
    void powerOn();
    plat::ScriptedConsole& con() { return *con_; }
    plat::VirtualClock& clock() { return *clock_; }
    plat::FolderDisk& disk() { return plat::board().disk(); }
    const std::string& dir() const { return dir_; }
    // Host path of a board name (relative to "/DskVol/files" unless absolute).
    std::string hostPath(const std::string& boardName) const;

    void writeFile(const std::string& name, const std::string& bytes);
    std::string readFile(const std::string& name) const;
    bool exists(const std::string& name) const;

    // Runs fn; returns how the board stopped, or nothing when fn returned.
    std::optional<plat::BoardStop> run(const std::function<void()>& fn);

  private:
    std::string dir_;
    plat::VirtualClock* clock_;
    plat::ScriptedConsole* con_;
};

// Test fixture owning a TestBoard.
class BoardTest : public ::testing::Test {
  protected:
    plat::ScriptedConsole& con() { return tb.con(); }
    TestBoard tb;
};

}  // namespace stktest
