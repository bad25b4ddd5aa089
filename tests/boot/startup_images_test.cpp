// Start-up with images on the flash disk: the CRC check, the backup fallback
// and what the auto-boot choice starts.
#include <string>

#include "image/dim.h"
#include "boot/boot.h"
#include "support/test_board.h"
#include "support/test_images.h"

namespace {

using plat::BoardStop;
using stktest::TestBoard;

class StartUpImages : public ::testing::Test {
  protected:
    StartUpImages() : tb(true) {}

    std::optional<BoardStop> boot() {
        tb.con().clearOutput();
        plat::resetProcessState();
        tb.disk().powerCycle();
        return tb.run([] { usrAppInit(); });
    }
    const std::string& out() { return tb.con().output(); }

    TestBoard tb;
};

const char* kAutoBootPrompt =
    "Select an option. If no selection in 2 seconds then\n"
    "operational code will start.\n\n"
    "1 - Start operational code.\n"
    "2 - Start Boot Menu.\n"
    "Select (1, 2):";

TEST_F(StartUpImages, ValidImageStartsAfterTwoSecondsWithStartType1) {
    stktest::ImageSpec spec;
    spec.loadAddress = 0x00200000;
    tb.writeFile("image1", stktest::makeImage(spec));
    auto stop = boot();
    ASSERT_TRUE(stop);
    ASSERT_EQ(stop->kind, BoardStop::Kind::Handoff) << out();
    EXPECT_EQ(stop->entry, 0x00200000u);
    EXPECT_EQ(stop->startType, 1);
    EXPECT_NE(out().find("Boot Menu Version: 12 Dec 2010\n\nCalculating CRC of active image..."
                         "done...\n" +
                         std::string(kAutoBootPrompt) + "\n"),
              std::string::npos)
        << out();
    // 2 s auto-boot wait (plus the launcher's own pauses afterwards).
    EXPECT_GE(tb.clock().nowUs(), 2000000u);
}

TEST_F(StartUpImages, AnswerTwoEntersTheMenuAndOptionOneStarts) {
    tb.writeFile("image1", stktest::makeImage());
    tb.con().answer("Select (1, 2):", "2\r");
    tb.con().answer("[Boot Menu] ", "1\r");
    auto stop = boot();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, BoardStop::Kind::Handoff) << out();
    EXPECT_NE(out().find("Options available\n"), std::string::npos);
}

TEST_F(StartUpImages, DamagedActiveImageWithoutBackupGoesStraightToTheMenu) {
    std::string image = stktest::makeImage();
    image[image.size() - 1] ^= 0x55;
    tb.writeFile("image1", image);
    auto stop = boot();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, BoardStop::Kind::EndOfInput);
    EXPECT_NE(out().find("\nCalculating CRC of active image..."
                         "\n\nActive image failed crc check. Activating backup image \n"
                         "No Backup Image available.\n"
                         "Failed to activate Backup Image.\n"
                         "Options available\n"),
              std::string::npos)
        << out();
    EXPECT_EQ(out().find("Select (1, 2):"), std::string::npos);
}

TEST_F(StartUpImages, DamagedActiveImageFallsBackToAValidBackup) {
    std::string good = stktest::makeImage();
    std::string bad = good;
    bad[2000 < bad.size() ? 2000 : bad.size() - 1] ^= 1;
    tb.writeFile("image1", good);
    tb.writeFile("image2", good);
    // First start builds the image list (image1 active, image2 backup).
    tb.con().answer("Select (1, 2):", "2\r");
    boot();
    tb.writeFile("image1", bad);
    auto stop = boot();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, BoardStop::Kind::Handoff) << out();
    // The former active image is now the backup, fails validation and is removed.
    EXPECT_NE(out().find("\n\nActive image failed crc check. Activating backup image \n"
                         "\nValidating the backup image image1 failed, ret code = 3\n"
                         "Backup image - image2 activated.\n" +
                         std::string(kAutoBootPrompt)),
              std::string::npos)
        << out();
    EXPECT_STREQ(activeImageFileName, "image2");
    EXPECT_FALSE(tb.exists("image1"));
}

TEST_F(StartUpImages, PendingBootCodeUpdateIsOfferedInstead) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("bootupdate.dat", "");
    tb.con().answer("Select (1, 2):", "2\r");
    auto stop = boot();
    ASSERT_TRUE(stop);
    EXPECT_NE(out().find("Select an option. If no selection in 2 seconds then\n"
                         "Boot Code Update will Start ..\n\n"
                         "1 - Start Boot Code Update.\n"
                         "2 - Start Boot Menu.\n"
                         "Select (1, 2):"),
              std::string::npos)
        << out();
}

TEST_F(StartUpImages, DiagnosticsSelectedButMissingFallsThroughToTheSystemImage) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("diag_config.cfg", std::string("\0\0\0\1", 4));
    tb.con().answer("Select (1, 2):", "2\r");
    boot();
    EXPECT_NE(out().find("Boot Menu Version: 12 Dec 2010\n"
                         "\nDiagnostic file diag_image.stk does not exist\n"
                         "\n\nDiag image can not be found. Falling through to system image\n" +
                         std::string(kAutoBootPrompt)),
              std::string::npos)
        << out();
    EXPECT_EQ(tb.readFile("diag_config.cfg"), std::string("\0\0\0\2", 4));
}

}  // namespace
