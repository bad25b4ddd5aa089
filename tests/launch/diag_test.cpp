// The active-image selector, the diagnostics image's presence check, its load
// over XMODEM and its start at 0x01000000, alone and from start-up.
#include "launch/diag.h"

#include <gtest/gtest.h>

#include <cstring>

#include "boot/boot.h"
#include "support/test_board.h"
#include "support/test_images.h"
#include "support/xmodem_sender.h"

namespace {

using Diag = stktest::BoardTest;

std::string word(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

TEST_F(Diag, SelectorIsReadOnceAndWrittenOnlyWhenItChanges) {
    // Missing: created with the system image.
    EXPECT_EQ(fellActiveImageGet(), 2);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), word(2));
    EXPECT_EQ(fellActiveImageSet(1), 0);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), word(1));
    plat::remove("diag_config.cfg");
    EXPECT_EQ(fellActiveImageSet(1), 0);  // no change: nothing written
    EXPECT_FALSE(tb.exists("diag_config.cfg"));
    EXPECT_EQ(fellActiveImageGet(), 1);  // from the cache until the next start
    struct Case {
        std::string file;
        int selected;
    } cases[] = {{word(1), 1}, {word(7), 2}, {std::string(2, '\0'), 2}};
    for (const Case& c : cases) {
        plat::resetProcessState();
        tb.writeFile("diag_config.cfg", c.file);
        EXPECT_EQ(fellActiveImageGet(), c.selected);
        tb.writeFile("diag_config.cfg", word(1));
        // What was read is kept; a short file leaves nothing to keep.
        EXPECT_EQ(fellActiveImageGet(), c.file.size() == 4 ? c.selected : 1);
    }
    // A folder in the file's place: it can be neither opened nor created.
    plat::resetProcessState();
    plat::remove("diag_config.cfg");
    ASSERT_EQ(plat::mkdir("diag_config.cfg"), 0);
    EXPECT_EQ(fellActiveImageGet(), 2);
    EXPECT_EQ(fellActiveImageSet(1), -1);
    EXPECT_EQ(fellActiveImageGet(), 1);  // holds until the next start
    plat::rmdir("diag_config.cfg");
    tb.disk().failWriteAt(1);
    EXPECT_EQ(fellActiveImageSet(2), -1);
}

TEST_F(Diag, LoadStoresTheReceivedFileAndACancelKeepsTheOld) {
    EXPECT_EQ(fellDiagImageCrcCheck(), 1);
    tb.writeFile("diag_image.stk", "old");
    EXPECT_EQ(fellDiagImageCrcCheck(), 0);
    for (bool cancel : {true, false}) {
        loadtest::XmodemSender sender(con(), stktest::randomBytes(5000, 61));
        if (cancel) sender.cancelAtStart();
        int rc = -2;
        ASSERT_FALSE(tb.run([&] { rc = fellDiagImageLoad(0x00508541); })) << con().output();
        EXPECT_EQ(rc, cancel ? 1 : 0);
        EXPECT_EQ(tb.readFile("diag_image.stk"), cancel ? "old" : sender.padded());
        EXPECT_FALSE(tb.exists("xcode.bin"));
    }
    EXPECT_TRUE(
        con().output().starts_with("\nDiagnostic file diag_image.stk does not exist\n"
                                   "Ready to receive the file with XMODEM/CRC....\n"));
    EXPECT_NE(con().output().find("Error while receiving file with XMODEM.\n"), std::string::npos);
    EXPECT_NE(con().output().find("\n\nXMODEM transfer complete....\n"), std::string::npos);
}

TEST_F(Diag, RunCopiesAtMostSixteenMebibytesToItsAddressAndHandsOff) {
    EXPECT_FALSE(tb.run([] { fellDiagImageRun(); }));
    const std::string image = stktest::randomBytes((16 << 20) + 4096, 63);
    tb.writeFile("diag_image.stk", image);
    tb.writeFile("bootcode.bin", "left over");
    auto stop = tb.run([] { fellDiagImageRun(); });
    ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Handoff);
    EXPECT_EQ(stop->entry, 0x01000000u);
    EXPECT_EQ(stop->startType, 1);
    EXPECT_EQ(stop->loadedBytes, 16u << 20);
    EXPECT_EQ(std::memcmp(plat::board().ram().at(0x01000000, 16 << 20), image.data(), 16 << 20), 0);
    EXPECT_EQ(con().output(),
              "\nError reading diag_image.stk into memory\n"
              "\nReading diag_image.stk into memory\n");
    EXPECT_FALSE(tb.exists("bootcode.bin"));
    EXPECT_EQ(plat::board().regs().intLockLevel, 1);
}

TEST(DiagStartUp, StartsWhatTheSelectorSays) {
    const std::string diag = stktest::randomBytes(3000, 72);
    struct Case {
        const char* selector;  // none, or the 4-byte file
        bool diagImage;
        uint32_t entry;
        const char* shown;
    } cases[] = {
        {nullptr, false, 0x00010000, "operational code will start.\n"},
        {"\0\0\0\1", true, 0x01000000, "diagnostics will start.\n\n1 - Start diagnostic code.\n"},
        {"\0\0\0\1", false, 0x00010000, "Diag image can not be found"},
    };
    for (const Case& c : cases) {
        stktest::TestBoard board;
        board.writeFile("image1", stktest::makeImage());
        if (c.selector) board.writeFile("diag_config.cfg", std::string(c.selector, 4));
        if (c.diagImage) board.writeFile("diag_image.stk", diag);
        auto stop = board.run([] { usrAppInit(); });
        ASSERT_TRUE(stop && stop->kind == plat::BoardStop::Kind::Handoff) << board.con().output();
        EXPECT_EQ(stop->entry, c.entry);
        EXPECT_NE(board.con().output().find(c.shown), std::string::npos) << board.con().output();
        // The system image is selected whenever it is what starts.
        EXPECT_EQ(board.readFile("diag_config.cfg"), word(c.diagImage ? 1 : 2));
    }
}

}  // namespace
