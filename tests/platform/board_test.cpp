#include "support/test_board.h"

namespace {

using Volume = stktest::BoardTest;

TEST_F(Volume, NamesCannotLeaveIt) {
    std::string host;
    ASSERT_TRUE(tb.disk().resolve("../../../../etc/passwd", host));
    EXPECT_EQ(host, tb.dir() + "/DskVol/etc/passwd");
    EXPECT_FALSE(tb.disk().resolve("/etc/passwd", host));
}

}  // namespace
