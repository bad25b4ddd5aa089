// The relay itself, with lrzsz at both ends of a pseudo-terminal: what the
// other interop tests rely on (no byte lost to lrzsz's flushes) and the
// reference behaviour of lrzsz on padding.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "interop_support.h"

namespace {

using namespace interop;
using stktest::LinePeer;
using stktest::RelayOptions;

class InteropRelay : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!stktest::programsAvailable({"sx", "rx", "sb", "rb"})) GTEST_SKIP() << "lrzsz missing";
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave_, 0);
        struct termios t;
        ASSERT_EQ(::tcgetattr(slave_, &t), 0);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        sendDir_ = stktest::makeTempDir("stksend-");
        recvDir_ = stktest::makeTempDir("stkrecv-");
    }
    void TearDown() override {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
        stktest::removeTree(sendDir_);
        stktest::removeTree(recvDir_);
    }
    int master_ = -1, slave_ = -1;
    std::string sendDir_, recvDir_;
};

TEST_F(InteropRelay, LrzszXmodemPairCopiesEverySizeThroughThePty) {
    for (size_t n : {size_t(1), size_t(129), size_t(1025)}) {
        SCOPED_TRACE(n);
        std::string data = stktest::randomBytes(n, uint32_t(n));
        stktest::writeHostFile(sendDir_ + "/x", data);
        ::unlink((recvDir_ + "/x").c_str());
        LinePeer sender, receiver;
        ASSERT_TRUE(sender.startProgram(master_, sendDir_, {"sx", "-k", "x"}));
        ASSERT_TRUE(receiver.startProgram(slave_, recvDir_, {"rx", "-c", "x"}));
        EXPECT_EQ(receiver.wait(20000), 0) << receiver.errorText();
        EXPECT_EQ(sender.wait(5000), 0) << sender.errorText();
        EXPECT_TRUE(isPadded(stktest::readHostFile(recvDir_ + "/x"), data, 1024));
    }
}

TEST_F(InteropRelay, LrzszYmodemPairKeepsExactLengths) {
    std::vector<std::string> argv = {"sb"};
    for (size_t n : {size_t(1), size_t(1023), size_t(1025)}) {
        stktest::writeHostFile(sendDir_ + "/" + sizeName(n), stktest::randomBytes(n, uint32_t(n)));
        argv.push_back(sizeName(n));
    }
    LinePeer sender, receiver;
    ASSERT_TRUE(sender.startProgram(master_, sendDir_, argv));
    ASSERT_TRUE(receiver.startProgram(slave_, recvDir_, {"rb", "-y"}));
    EXPECT_EQ(receiver.wait(20000), 0) << receiver.errorText();
    EXPECT_EQ(sender.wait(5000), 0) << sender.errorText();
    for (size_t n : {size_t(1), size_t(1023), size_t(1025)})
        EXPECT_EQ(stktest::readHostFile(recvDir_ + "/" + sizeName(n)),
                  stktest::randomBytes(n, uint32_t(n)));
}

}  // namespace
