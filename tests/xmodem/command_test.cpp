// The transfer command's argument handling and announcements, and the line
// and timing layer beneath both engines.
#include <cstring>

#include "boot/boot.h"
#include "image/bspapi.h"
#include "peer.h"
#include "platform/platform.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace {

using namespace xmpeer;

class CommandTest : public XmodemTest {};

TEST_F(CommandTest, NoWordPrintsTheUsage) {
    for (const char* args : {"", "     "}) {
        con().clearOutput();
        EXPECT_EQ(xm(args), -1);
        std::string head =
            "Usage:  \txmodem  -[rb!rt!ra!sb!st!sa][options] filename... 0\n\rMajor Commands --";
        EXPECT_EQ(out().substr(0, head.size()), head);
        EXPECT_NE(out().find("\n\r\tn  <-- Allow mid-transfer CAN-CAN aborts\n\r"),
                  std::string::npos);
        EXPECT_EQ(out().find("Fatal"), std::string::npos);
    }
}

TEST_F(CommandTest, ChecksComeInTheirOrder) {
    EXPECT_EQ(xm("-"), -1);
    EXPECT_TRUE(said("XMODEM Fatal Error - Either Send or Receive Function must be chosen!"));
    con().clearOutput();
    EXPECT_EQ(xm("-rsm"), -1);
    EXPECT_TRUE(said("XMODEM Fatal Error- Both Send and Receive Functions Specified"));
    EXPECT_EQ(out().find("MODEM7"), std::string::npos);
    con().clearOutput();
    EXPECT_EQ(xm("-rmy"), -1);
    EXPECT_TRUE(said("XMODEM Fatal Error - Both YMODEM and MODEM7 Batch Protocols Specified"));
    con().clearOutput();
    EXPECT_EQ(xm("-smg"), -1);
    EXPECT_TRUE(said("XMODEM Fatal Error - Both YMODEM and MODEM7 Batch Protocols Specified"));
    con().clearOutput();
    EXPECT_EQ(xm("-sb"), -1);
    EXPECT_TRUE(said("XMODEM Fatal Error - No file specified to send"));
    con().clearOutput();
    EXPECT_EQ(xm("-sb nothere"), -1);
    EXPECT_TRUE(said("Can't find requested file"));
    tb.writeFile("empty", "");
    con().clearOutput();
    EXPECT_EQ(xm("-sb empty"), -1);
    EXPECT_TRUE(said("Requested file size is 0"));
}

TEST_F(CommandTest, OptionLettersSetTheSettings) {
    EXPECT_EQ(xm("-RSBCDEGKLNPTWXX"), -1);
    const XferSettings& s = xferSettings;
    EXPECT_EQ(s.fileType, 'b');
    EXPECT_TRUE(s.receiveFlag && s.sendFlag && s.crcFlag && s.deleteLogFlag && s.noEotCheckFlag);
    EXPECT_TRUE(s.ymodemFlag && s.ymodemGFlag && s.canCanFlag && s.oneKFlag && s.tipFlag);
    EXPECT_TRUE(s.tooBusyFlag && s.waitFlag);
    EXPECT_EQ(s.batchFlag, 0);
    EXPECT_EQ(s.logFlag, 0);
    EXPECT_EQ(s.debugLevel, 2);
    // The next call starts from the reset values.
    EXPECT_EQ(xm("-s"), -1);
    EXPECT_EQ(s.fileType, 't');
    EXPECT_EQ(s.crcFlag + s.ymodemFlag + s.tipFlag + s.debugLevel, 0);
}

TEST_F(CommandTest, InvalidFlagIsReportedAndTheTransferGoesOn) {
    SenderPeer peer(con());
    peer.addFile("abc", 128);
    EXPECT_EQ(xm("-rbae f"), 0);
    EXPECT_NE(out().find("Invalid Flag a ignored\n\rReady to RECEIVE File f in binary mode\n\r"),
              std::string::npos);
    // No c: checksum mode, so the receiver asks with NAK.
    EXPECT_EQ(peer.startLog, "N");
}

TEST_F(CommandTest, OptionWordWithoutDashAndInUpperCase) {
    tb.writeFile("f.bin", std::string(3000, 'x'));
    ReceiverPeer peer(con());
    peer.start("C", 500000);
    EXPECT_EQ(xm("CBSKE f.bin"), 0);
    EXPECT_NE(out().find("File f.bin Ready to SEND in binary mode\n\r"
                         "Estimated File Size 3K, 24 Sectors, 3000 Bytes\n\r"),
              std::string::npos);
    EXPECT_EQ(peer.files[0].substr(0, 3000), std::string(3000, 'x'));
}

TEST_F(CommandTest, ReceiveAnnouncesTextModeByDefault) {
    SenderPeer peer(con());
    peer.addFile("abc", 128);
    EXPECT_EQ(xm("-rte f"), 0);
    EXPECT_NE(out().find("Ready to RECEIVE File f in text mode\n\r"), std::string::npos);
}

TEST_F(CommandTest, LongArgumentIsCutAt79Characters) {
    std::string name(100, 'n');
    std::string args = "-cbrke " + name;
    SenderPeer peer(con());
    peer.addFile("abc", 128);
    EXPECT_EQ(xm(args.c_str()), 0);
    EXPECT_TRUE(tb.exists(std::string(79 - 7, 'n')));
}

TEST_F(CommandTest, MoreThanSeventeenNamesAreRefused) {
    std::string args = "-sby";
    for (int i = 0; i < 18; ++i) args += " f" + std::to_string(i % 10);
    ASSERT_LT(args.size(), 80u);
    EXPECT_EQ(xm(args.c_str()), -1);
    EXPECT_TRUE(said("XMODEM Fatal Error - Too many file names (at most 17)"));
}

TEST_F(CommandTest, BatchSendOfMissingFilesOnlyClosesTheBatch) {
    ReceiverPeer peer(con());
    peer.ymodem = true;
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sby none1 none2"), 0);
    ASSERT_EQ(peer.blocks.size(), 1u);
    EXPECT_EQ(peer.blocks[0].data, std::string(128, '\0'));
    EXPECT_TRUE(peer.batchClosed);
}

TEST_F(CommandTest, BatchPreCountCountsTextLineFeeds) {
    tb.writeFile("a.txt", "1\n2\n3\n");
    tb.writeFile("b.txt", "12345");
    ReceiverPeer peer(con());
    peer.ymodem = true;
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sy a.txt b.txt"), 0);
    ASSERT_EQ(peer.headerNames.size(), 2u);
    auto fields = [](const std::string& h) { return std::string(h.c_str() + h.find('\0') + 1); };
    std::string f0 = fields(peer.blocks[0].data);
    // 9 bytes on the wire for a.txt; 2 files with 14 bytes in all before it.
    EXPECT_EQ(f0.substr(0, 2), "9 ");
    EXPECT_EQ(f0.substr(f0.rfind(" 0 2 ")), " 0 2 14 0");
    EXPECT_EQ(peer.files[0].substr(0, 9), "1\r\n2\r\n3\r\n");
}

TEST_F(CommandTest, SettleDelayComesBeforeTheFirstStartCharacter) {
    std::vector<uint64_t> firstByte;
    con().onWrite = [&](std::string_view) {
        if (con().options() == 0 && firstByte.empty()) firstByte.push_back(plat::nowUs());
    };
    uint64_t t0 = plat::nowUs();
    xm("-cbrke f");
    ASSERT_EQ(firstByte.size(), 1u);
    EXPECT_EQ(firstByte[0] - t0, 213000u);
}

TEST_F(CommandTest, TransferModeIsRawAndRestoredAfterwards) {
    int optsDuring = -1, fdDuring = -1;
    plat::SignalHandler handlerDuring = nullptr;
    bool seen = false;
    con().onWrite = [&](std::string_view) {
        if (seen || con().options() != 0) return;
        seen = true;
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
    // The options read on entry are written back.
    EXPECT_EQ(con().options(), before);
    EXPECT_EQ(plat::sigvec15Get(), nullptr);
}

TEST_F(CommandTest, KillSignalRestoresTheLineAndReports) {
    stopsig();
    EXPECT_EQ(con().options(), plat::OPT_TERMINAL & ~plat::OPT_MON_TRAP);
    setmodes();
    EXPECT_EQ(con().options(), 0);
    plat::SignalHandler h = plat::sigvec15Get();
    ASSERT_NE(h, nullptr);
    h(15);
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

TEST_F(CommandTest, ReadbyteWaitsAndKeepsHighBytes) {
    uint64_t t0 = plat::nowUs();
    EXPECT_EQ(readbyte(3), -1);
    EXPECT_EQ(plat::nowUs() - t0, 3000000u);
    con().sendAfter(500000, "\xFF");
    EXPECT_EQ(readbyte(3), 255);
}

TEST_F(CommandTest, ReadbufComputesTheCheckAndConvertsText) {
    xferSettings = XferSettings{};
    xferSettings.crcFlag = 1;
    // The published check value of CRC-16/XMODEM.
    EXPECT_EQ(xmodemCrc(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x31C3);
    std::string data = "ab\r\ncd";
    data += '\0';
    data += "\xE5";
    data += SUBc;
    data += "zz";
    data.resize(128, 'q');
    // Arrives in three pieces; each read asks for all that is missing.
    con().send(data.substr(0, 5));
    con().sendAfter(100, data.substr(5, 50));
    con().sendAfter(200, data.substr(55));
    uint32_t check = 0;
    int kept = 0;
    recvdBytes = 0;
    ymodemLengthKnown = 0;
    ASSERT_EQ(readbuf(128, 1, 1, &check, &kept), 0);
    EXPECT_EQ(check, crc16(data));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sectorBuf), size_t(kept)), "ab\ncde");
    EXPECT_EQ(recvdBytes, 128);

    // YMODEM length 1000: the eighth block keeps 104 bytes.
    xferSettings.crcFlag = 0;
    ymodemLength = 1000;
    ymodemLengthKnown = 1;
    recvdBytes = 896;
    con().send(std::string(128, 'x'));
    ASSERT_EQ(readbuf(128, 1, 0, &check, &kept), 0);
    EXPECT_EQ(kept, 104);
    EXPECT_EQ(check, uint32_t(sum8(std::string(128, 'x'))));

    // A block that stops short times out.
    con().send(std::string(50, 'y'));
    EXPECT_EQ(readbuf(128, 1, 0, &check, &kept), -1);
}

TEST_F(CommandTest, GetbyteAndCountnl) {
    tb.writeFile("lines", std::string(1500, 'a') + "\n1\n2\n");
    int fd = plat::open("lines", plat::kOpenRead);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(countnl(fd), 3);
    fileReadCount = 0;
    std::string got;
    uint8_t b;
    while (getbyte(fd, &b) == 0) got += char(b);
    EXPECT_EQ(got, std::string(1500, 'a') + "\n1\n2\n");
    EXPECT_EQ(getbyte(fd, &b), -1);
    plat::close(fd);
}

TEST_F(CommandTest, SectorTextsAndTimeEstimates) {
    EXPECT_STREQ(sectdisp(8, 1024, 1), "9-16");
    EXPECT_STREQ(sectdisp(0, 1024, 0), "0");
    EXPECT_STREQ(sectdisp(5, 128, 1), "6");
    consoleBaudRate = 9600;
    projtime(24, 1);
    EXPECT_EQ(con().takeOutput(), "Estimated transmission time 4 seconds \n\r");
    projtime(0, 1);
    EXPECT_EQ(con().takeOutput(), "");
    projtime(24304, 1);  // 3600 s + 1: one hour, one second
    EXPECT_EQ(con().takeOutput(), "Estimated transmission time 1 hour  1 second  \n\r");
    prtime(16, 2);
    EXPECT_EQ(con().takeOutput(), "16 Sectors Transfered in 0 seconds\n\r");
    EXPECT_STREQ(prtype('T'), "text");
    EXPECT_STREQ(prtype('b'), "binary");
    EXPECT_STREQ(prtype('a'), "");
}

}  // namespace
