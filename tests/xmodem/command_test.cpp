// The transfer command's argument handling and the line mode around a transfer.
#include "image/bspapi.h"
#include "platform/platform.h"
#include "support/xmodem_sender.h"

namespace {

using namespace xmpeer;
using CommandTest = XmodemTest;

TEST_F(CommandTest, RefusalsComeInTheirOrder) {
    tb.writeFile("empty", "");
    const std::pair<const char*, const char*> cases[] = {
        {"", "Usage:  \txmodem  -[rb!rt!ra!sb!st!sa][options] filename... 0\n\rMajor Commands --"},
        {"     ", "\n\r\tn  <-- Allow mid-transfer CAN-CAN aborts\n\r"},
        {"-", "XMODEM Fatal Error - Either Send or Receive Function must be chosen!"},
        {"-rsm", "XMODEM Fatal Error- Both Send and Receive Functions Specified"},
        {"-rmy", "XMODEM Fatal Error - Both YMODEM and MODEM7 Batch Protocols Specified"},
        {"-smg", "XMODEM Fatal Error - Both YMODEM and MODEM7 Batch Protocols Specified"},
        {"-sb", "XMODEM Fatal Error - No file specified to send"},
        {"-sb nothere", "Can't find requested file"},
        {"-sb empty", "Requested file size is 0"},
        {"-sby f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 f0 f1 f2 f3 f4 f5 f6 f7",
         "XMODEM Fatal Error - Too many file names (at most 17)"},
    };
    for (const auto& [args, message] : cases) {
        con().clearOutput();
        EXPECT_EQ(xm(args), -1) << args;
        std::string o = out();
        EXPECT_NE(o.find(message), std::string::npos) << args << ": " << o;
        // One message only: usage without an error, no message after the first.
        EXPECT_EQ(o.find("Fatal", o.find("Fatal") + 5), std::string::npos) << o;
        EXPECT_TRUE(args[0] == '-' || o.find("Fatal") == std::string::npos);
    }
}

TEST_F(CommandTest, LongArgumentIsCutAt79Characters) {
    SenderPeer peer(con());
    peer.addFile("abc", 128);
    EXPECT_EQ(xm(("-cbrke " + std::string(100, 'n')).c_str()), 0);
    EXPECT_TRUE(tb.exists(std::string(79 - 7, 'n')));
}

TEST_F(CommandTest, TransferModeIsRawAndRestoredAfterwards) {
    int optsDuring = -1, fdDuring = -1;
    plat::SignalHandler handlerDuring = nullptr;
    con().onWrite = [&](std::string_view) {
        if (fdDuring >= 0 || con().options() != 0) return;
        optsDuring = con().options();
        fdDuring = bspapiConsoleFdGet();
        handlerDuring = plat::sigvec15Get();
        con().sendAfter(1000, std::string(1, EOTc));
    };
    int before = con().options();
    EXPECT_EQ(xm("-cbrke f"), 0);
    EXPECT_EQ(optsDuring, 0);
    EXPECT_EQ(fdDuring, plat::kConsoleFd);
    EXPECT_EQ(handlerDuring, &onintr);
    EXPECT_EQ(con().options(), before);
    EXPECT_EQ(plat::sigvec15Get(), nullptr);
    // The kill signal restores the line and reports.
    stopsig();
    EXPECT_EQ(con().options(), plat::OPT_TERMINAL & ~plat::OPT_MON_TRAP);
    setmodes();
    EXPECT_EQ(con().options(), 0);
    con().clearOutput();
    plat::sigvec15Get()(15);
    EXPECT_EQ(con().output(), "\r\nKill signal; bailing out\n\r");
    EXPECT_EQ(con().options(), plat::OPT_TERMINAL);
    EXPECT_EQ(plat::sigvec15Get(), nullptr);
}

TEST_F(CommandTest, SpeedComesFromTheDriverOr9600) {
    con().setBaud(115200);
    getspeed();
    EXPECT_EQ(consoleBaudRate, 115200);
    con().baudQueryUnsupported = true;
    getspeed();
    EXPECT_EQ(consoleBaudRate, 9600);
}

}  // namespace
