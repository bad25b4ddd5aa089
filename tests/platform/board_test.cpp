#include <filesystem>

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

}  // namespace
