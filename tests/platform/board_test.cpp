#include "support/test_board.h"

#include "platform/platform.h"

namespace {

using stktest::BoardTest;

TEST_F(BoardTest, SelectWaitsOnTheVirtualClock) {
    uint64_t start = plat::nowUs();
    EXPECT_EQ(plat::select(2, 0), 0);
    EXPECT_EQ(plat::nowUs() - start, 2000000u);
    con().sendAfter(500000, "x\r");
    EXPECT_EQ(plat::select(2, 0), 1);
    EXPECT_EQ(plat::nowUs() - start, 2500000u);
    char line[8];
    ASSERT_NE(plat::gets(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "x");
}

TEST_F(BoardTest, GetsCutsLongLinesAndEndsAtCrOrLf) {
    con().send(std::string(200, 'a') + "\rbc\n");
    char line[10];
    ASSERT_NE(plat::gets(line, sizeof line), nullptr);
    EXPECT_EQ(std::string(line), std::string(9, 'a'));
    ASSERT_NE(plat::gets(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "bc");
    auto stop = tb.run([&] { plat::gets(line, sizeof line); });
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::EndOfInput);
}

TEST_F(BoardTest, NamesCannotLeaveTheVolume) {
    std::string host;
    ASSERT_TRUE(tb.disk().resolve("../../../../etc/passwd", host));
    EXPECT_EQ(host, tb.dir() + "/DskVol/etc/passwd");
    ASSERT_TRUE(tb.disk().resolve("/DskVol/files/image1", host));
    EXPECT_EQ(host, tb.dir() + "/DskVol/files/image1");
    EXPECT_FALSE(tb.disk().resolve("/etc/passwd", host));
}

TEST_F(BoardTest, FaultInjectionFailsWritesAndCutsPower) {
    int fd = plat::open("f", plat::kOpenReadWrite | plat::kOpenCreate);
    ASSERT_GE(fd, 0);
    tb.disk().failWriteAt(2);
    EXPECT_EQ(plat::write(fd, "ab", 2), 2);
    EXPECT_EQ(plat::write(fd, "cd", 2), -1);
    tb.disk().setFreeBytes(1);
    EXPECT_EQ(plat::write(fd, "ef", 2), 1);
    EXPECT_EQ(plat::write(fd, "gh", 2), -1);
    tb.disk().clearFaults();
    tb.disk().powerLossAt(1);
    auto stop = tb.run([&] { plat::close(fd); });
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, plat::BoardStop::Kind::PowerLoss);
    EXPECT_EQ(tb.readFile("f"), "abe");
}

}  // namespace
