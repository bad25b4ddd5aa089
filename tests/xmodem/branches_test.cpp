// Less travelled branches of both engines: damaged headers, short blocks,
// spurious EOT, protocol botches, MODEM7 name failures and the progress
// messages of the p option.
#include "peer.h"
#include "platform/platform.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace {

using namespace xmpeer;

class BranchTest : public XmodemTest {};

TEST_F(BranchTest, BadBlockNumberAndShortBlockAreRetried) {
    SenderPeer peer(con());
    peer.addBlock(1, block128('a'));
    peer.addBlock(2, block128('b'));
    peer.addBlock(3, block128('c'));
    peer.addEot();
    peer.tamper = [](size_t item, int attempt, std::string& wire) {
        if (item == 1 && attempt == 0) wire[2] = 0;      // complement does not match
        if (item == 2 && attempt == 0) wire.resize(60);  // the rest never comes
    };
    EXPECT_EQ(xm("-cbrke f.bin"), 0);
    EXPECT_EQ(tb.readFile("f.bin"), block128('a') + block128('b') + block128('c'));
    std::string o = out();
    EXPECT_EQ(std::count(o.begin(), o.end(), NAKc), 2);
}

TEST_F(BranchTest, SpuriousEotIsAnErrorAndTheBlockAfterItCounts) {
    SenderPeer peer(con());
    peer.addBlock(1, block128('a'));
    peer.addEot();
    peer.addBlock(2, block128('b'));
    peer.addEot();
    // The receiver's NAK to the first EOT brings block 2, not a second EOT.
    peer.tamper = [](size_t item, int attempt, std::string& wire) {
        if (item == 1 && attempt == 1) wire = wireBlock(2, block128('b'), true);
    };
    EXPECT_EQ(xm("-cbr f.bin"), 0);
    EXPECT_EQ(tb.readFile("f.bin"), block128('a') + block128('b'));
}

TEST_F(BranchTest, UncreatableFileCancelsTheSender) {
    SenderPeer peer(con());
    peer.addFile("abc", 128);
    EXPECT_EQ(xm("-cbrke nodir/f.bin"), -1);
    EXPECT_TRUE(said("Can't create file for receive"));
    EXPECT_NE(out().find(std::string(3, CANc)), std::string::npos);
}

TEST_F(BranchTest, YmodemGDuplicateIsFatal) {
    SenderPeer peer(con());
    peer.addBlock(0, ymodemHeader("d.bin", "256"), true);
    peer.addBlock(1, block128('a'));
    peer.addBlock(1, block128('a'));
    peer.addBlock(2, block128('b'));
    peer.addEot();
    EXPECT_EQ(xm("-rbg"), -1);
    EXPECT_TRUE(said("ABORTED -- Too Many Errors -- Deleting File"));
    EXPECT_FALSE(tb.exists("d.bin"));
}

TEST_F(BranchTest, WaitOptionDelaysTheHandshake) {
    uint64_t first = 0;
    con().onWrite = [&](std::string_view) {
        if (con().options() == 0 && first == 0) first = plat::nowUs();
    };
    uint64_t t0 = plat::nowUs();
    xm("-rbw f");
    EXPECT_EQ(first - t0, 15000000u + 213000u);
}

TEST_F(BranchTest, ProgressMessagesWithThePOption) {
    // The whole transfer is queued in advance, so the messages on the line
    // cannot confuse a peer.
    con().sendAt(300000, wireBlock(1, block128('a'), true));
    con().sendAt(400000, std::string(1, EOTc));
    EXPECT_EQ(xm("-cbrep f.bin"), 0);
    std::string o = out();
    EXPECT_EQ(o.find("Control-X"), std::string::npos);
    EXPECT_NE(o.find("----\nXMODEM File Receive Function\nCRC mode requested on command line\n"),
              std::string::npos);
    EXPECT_NE(o.find("File Name: f.bin\n"), std::string::npos);
    EXPECT_NE(o.find("Receive Complete\n1 Sectors Transfered in 0 seconds\n\r"), std::string::npos);
}

TEST_F(BranchTest, SendWithoutNameOrFile) {
    xferSettings = XferSettings{};
    xferSettings.fileType = 'b';
    EXPECT_EQ(sfile(""), -1);
    EXPECT_TRUE(said("NULL file name in send"));
    con().clearOutput();
    EXPECT_EQ(sfile("missing"), -1);
    EXPECT_TRUE(said("Can't open file for send"));
    EXPECT_EQ(out().substr(0, 3), std::string(3, CANc));
}

TEST_F(BranchTest, YmodemHeaderWithoutAStartForTheDataIsABotch) {
    tb.writeFile("f.bin", "data");
    ReceiverPeer peer(con());
    peer.ymodem = true;
    peer.startChars = "";  // acknowledges the header, never asks for data
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sby f.bin"), -1);
    EXPECT_TRUE(said("YMODEM protocol botch, C or G expected"));
}

TEST_F(BranchTest, LongNameMakesA1KHeader) {
    std::string name(120, 'l');
    tb.writeFile(name, "x");
    ReceiverPeer peer(con());
    peer.ymodem = true;
    peer.start("C", 500000);
    // Too long for the command's 79 characters: straight to the engine.
    xferSettings = XferSettings{};
    xferSettings.fileType = 'b';
    xferSettings.batchFlag = xferSettings.ymodemFlag = 1;
    batchFileCount = 1;
    batchByteCount = 1;
    stopsig();
    setmodes();
    EXPECT_EQ(sfile(name.c_str()), 0);
    EXPECT_EQ(sfile(""), 0);
    restoremodes(0);
    ASSERT_FALSE(peer.blocks.empty());
    EXPECT_EQ(peer.blocks[0].type, STXc);
    EXPECT_EQ(peer.headerNames[0], name);
    EXPECT_EQ(uint8_t(peer.blocks[0].data[1022]), 1);  // sectors, low byte
}

TEST_F(BranchTest, CanAnswersToABlock) {
    tb.writeFile("f.bin", "data");
    {
        // Without n a CAN answer is ignored and the block goes again.
        ReceiverPeer peer(con());
        peer.answer = [](const ReceiverPeer::Block&, size_t i) {
            return i == 0 ? std::string(2, CANc) : std::string(1, ACKc);
        };
        peer.start("C", 500000);
        EXPECT_EQ(xm("-sb f.bin"), 0);
        EXPECT_EQ(peer.blocks.size(), 2u);
    }
    con().clearOutput();
    ReceiverPeer peer(con());
    peer.answer = [](const ReceiverPeer::Block&, size_t) { return std::string(2, CANc); };
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sbn f.bin"), -1);
    EXPECT_TRUE(said("Send Canceled by CAN-CAN"));
}

TEST_F(BranchTest, Modem7NameWithABadChecksumIsSentAgain) {
    tb.writeFile("a.b", "x");
    int names = 0;
    std::string nameBytes;
    bool corrupt = true;
    // A receiver that answers the first name exchange with a wrong checksum.
    con().onWrite = [&](std::string_view s) {
        if (con().options() != 0) return;
        for (char c : s) {
            if (c == ACKc && nameBytes.empty() && names == 0) {
                names = 1;
                continue;
            }
            if (names == 1) {
                if (c == SUBc && nameBytes.size() == 11) {
                    uint8_t sum = sum8(nameBytes + SUBc);
                    con().sendAfter(1000, std::string(1, char(corrupt ? sum + 1 : sum)));
                    names = 2;
                } else if (nameBytes.size() < 11) {
                    nameBytes += c;
                    con().sendAfter(1000, std::string(1, ACKc));
                }
            } else if (names == 2) {
                // 'u' after a bad checksum: ask again; ACK after a good one: done.
                if (c == 'u') {
                    corrupt = false;
                    names = 0;
                    nameBytes.clear();
                    con().sendAfter(1000, std::string(1, NAKc));
                } else if (c == ACKc) {
                    names = 3;
                }
            }
        }
    };
    con().sendAt(500000, std::string(1, NAKc));
    EXPECT_EQ(xm("-sbm a.b"), -1);  // nobody takes the data: the file send fails later
    EXPECT_EQ(names, 3);
    EXPECT_EQ(nameBytes, "A       B  ");
}

}  // namespace
