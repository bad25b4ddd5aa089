// Start-up with the real launcher and selector: the two-second choice starts
// the operational code or, when the selector says so, the diagnostics image.
#include <gtest/gtest.h>

#include "boot/boot.h"
#include "launch_support.h"
#include "support/test_images.h"

namespace launchtest {
namespace {

using StartupLaunchTest = stktest::BoardTest;

TEST_F(StartupLaunchTest, FreshBoardAutoBootsTheOperationalCode) {
    stktest::ImageSpec spec;
    spec.payload = firmwareText(100000, 71);
    tb.writeFile("image1", stktest::makeImage(spec));
    auto stop = tb.run([] { usrAppInit(); });
    ASSERT_TRUE(stop.has_value());
    ASSERT_EQ(stop->kind, plat::BoardStop::Kind::Handoff) << con().output();
    EXPECT_EQ(stop->entry, spec.loadAddress);
    EXPECT_EQ(stop->loadedBytes, spec.payload.size());
    const std::string& out = con().output();
    EXPECT_NE(out.find("operational code will start.\n"), std::string::npos);
    EXPECT_NE(out.find("Uncompressing.....\n\n"), std::string::npos);
    // The selector file was created on the way, selecting the system image.
    EXPECT_EQ(tb.readFile("diag_config.cfg"), std::string("\0\0\0\2", 4));
}

TEST_F(StartupLaunchTest, SelectorOneAutoBootsTheDiagnosticsImage) {
    tb.writeFile("image1", stktest::makeImage());
    tb.writeFile("diag_config.cfg", std::string("\0\0\0\1", 4));
    std::string diag = randomBytes(3000, 72);
    tb.writeFile("diag_image.stk", diag);
    auto stop = tb.run([] { usrAppInit(); });
    ASSERT_TRUE(stop.has_value());
    ASSERT_EQ(stop->kind, plat::BoardStop::Kind::Handoff) << con().output();
    EXPECT_EQ(stop->entry, 0x01000000u);
    EXPECT_EQ(stop->loadedBytes, diag.size());
    const std::string& out = con().output();
    EXPECT_NE(out.find("diagnostics will start.\n\n1 - Start diagnostic code.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nReading diag_image.stk into memory\n"), std::string::npos);
}

TEST_F(StartupLaunchTest, SelectorOneWithoutDiagnosticsImageFallsBack) {
    stktest::ImageSpec spec;
    tb.writeFile("image1", stktest::makeImage(spec));
    tb.writeFile("diag_config.cfg", std::string("\0\0\0\1", 4));
    auto stop = tb.run([] { usrAppInit(); });
    ASSERT_TRUE(stop.has_value());
    ASSERT_EQ(stop->kind, plat::BoardStop::Kind::Handoff) << con().output();
    EXPECT_EQ(stop->entry, spec.loadAddress);
    EXPECT_NE(con().output().find("Diag image can not be found"), std::string::npos);
    EXPECT_EQ(tb.readFile("diag_config.cfg"), std::string("\0\0\0\2", 4));
}

}  // namespace
}  // namespace launchtest
