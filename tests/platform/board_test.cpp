#include <sys/stat.h>

#include "support/test_board.h"

namespace {

using Volume = stktest::BoardTest;

TEST_F(Volume, NamesCannotLeaveIt) {
    std::string host;
    ASSERT_TRUE(tb.disk().resolve("../../../../etc/passwd", host));
    EXPECT_EQ(host, tb.dir() + "/DskVol/etc/passwd");
    EXPECT_FALSE(tb.disk().resolve("/etc/passwd", host));
}

TEST_F(Volume, AResetClosesTheHostFilesOfOpenDescriptors) {
    int fd = plat::open("held.bin", plat::kOpenReadWrite | plat::kOpenCreate, 0);
    struct stat before, after;
    ASSERT_EQ(::fstat(fd, &before), 0);
    tb.powerOn();
    EXPECT_TRUE(::fstat(fd, &after) != 0 || after.st_ino != before.st_ino);
}

}  // namespace
