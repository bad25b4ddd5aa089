// The send engine against a scripted receiver, and round trips from our
// sender's recorded blocks into our receiver.
#include "peer.h"
#include "platform/platform.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace {

using namespace xmpeer;

std::string padded(std::string s, size_t block) {
    size_t n = (s.size() + block - 1) / block * block;
    s.resize(n, SUBc);
    return s;
}

class SendTest : public XmodemTest {
  protected:
    std::string types(const ReceiverPeer& peer) {
        std::string t;
        for (const auto& b : peer.blocks) t += b.type == SOHc ? 'S' : 'X';
        return t;
    }
};

TEST_F(SendTest, TwoHundredBytesMakeTwoBlocksPaddedWithSub) {
    std::string data = pattern(200);
    tb.writeFile("f.bin", data);
    ReceiverPeer peer(con());
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sb f.bin"), 0);
    ASSERT_EQ(peer.blocks.size(), 2u);
    EXPECT_TRUE(peer.blocks[0].checkOk && peer.blocks[1].checkOk);
    EXPECT_EQ(peer.blocks[1].data, data.substr(128) + std::string(56, SUBc));
    EXPECT_EQ(peer.eotTimes.size(), 1u);
    std::string announce =
        "File f.bin Ready to SEND in binary mode\n\r"
        "Estimated File Size 1K, 2 Sectors, 200 Bytes\n\r"
        "Estimated transmission time 1 second  \n\r"
        "Send several Control-X characters to cancel before transfer starts.\n\r";
    EXPECT_EQ(out().substr(0, announce.size()), announce);
}

TEST_F(SendTest, ExactMultipleEndsWithoutAPaddingBlock) {
    std::string data = pattern(256);
    tb.writeFile("f.bin", data);
    ReceiverPeer peer(con());
    peer.start("\x15", 500000);
    peer.crc = false;
    EXPECT_EQ(xm("-sb f.bin"), 0);
    ASSERT_EQ(peer.blocks.size(), 2u);
    EXPECT_EQ(peer.blocks[0].data + peer.blocks[1].data, data);
    EXPECT_TRUE(peer.blocks[1].checkOk);
}

TEST_F(SendTest, AnnouncementOfAThreeThousandByteFile) {
    tb.writeFile("f.bin", pattern(3000));
    ReceiverPeer peer(con());
    peer.start("C", 500000);
    EXPECT_EQ(xm("cbske f.bin"), 0);
    EXPECT_NE(out().find("Estimated File Size 3K, 24 Sectors, 3000 Bytes\n\r"
                         "Estimated transmission time 4 seconds \n\r"),
              std::string::npos);
    // 1K blocks from the start, 128 once 7 or fewer sectors remain.
    EXPECT_EQ(types(peer), "XXX");
    EXPECT_EQ(peer.files[0], padded(pattern(3000), 1024));
}

TEST_F(SendTest, TextModeSendsCrLfAndCarriesTheLineFeed) {
    tb.writeFile("t.txt", "123456789\n123456789\n123456789\n");
    {
        ReceiverPeer peer(con());
        peer.start("C", 500000);
        EXPECT_EQ(xm("-sp t.txt"), 0);
        ASSERT_EQ(peer.blocks.size(), 1u);
        std::string line = "123456789\r\n";
        EXPECT_EQ(peer.blocks[0].data, padded(line + line + line, 128));
        EXPECT_NE(out().find("File Size 1K, 1 Records, 33 Bytes\n\r"), std::string::npos);
        EXPECT_NE(out().find("30 Bytes\n\r"), std::string::npos);
    }
    con().clearOutput();
    tb.writeFile("u.txt", std::string(127, 'a') + "\nb");
    ReceiverPeer peer(con());
    peer.start("C", 500000);
    EXPECT_EQ(xm("-s u.txt"), 0);
    ASSERT_EQ(peer.blocks.size(), 2u);
    EXPECT_EQ(peer.blocks[0].data, std::string(127, 'a') + "\r");
    EXPECT_EQ(peer.blocks[1].data, padded("\nb", 128));
}

TEST_F(SendTest, YmodemCkGetsA128HeaderThen1KBlocksThenTheTail) {
    std::string data = pattern(2500);
    tb.writeFile("Big.Bin", data);
    ReceiverPeer peer(con());
    peer.ymodem = true;
    peer.startChars = "CK";
    peer.start("CK", 500000);
    EXPECT_EQ(xm("-sby Big.Bin"), 0);
    // Header, two 1K blocks (20 and 12 sectors left), four 128 blocks, end header.
    EXPECT_EQ(types(peer), "SXXSSSSS");
    ASSERT_EQ(peer.headerNames.size(), 1u);
    EXPECT_EQ(peer.headerNames[0], "big.bin");
    const std::string& h = peer.blocks[0].data;
    std::string fields(h.c_str() + h.find('\0') + 1);
    EXPECT_EQ(fields.substr(0, 5), "2500 ");
    EXPECT_EQ(fields.substr(fields.rfind(" 0 1 ")), " 0 1 2500 0");
    EXPECT_EQ(uint8_t(h[126]), 20);
    EXPECT_EQ(uint8_t(h[127]), 0);
    EXPECT_EQ(peer.files[0].substr(0, 2500), data);
    EXPECT_TRUE(peer.batchClosed);
    EXPECT_NE(out().find("Ready to YMODEM xbatch SEND in binary mode\n\r"), std::string::npos);
}

TEST_F(SendTest, ExcessiveErrorsFallBackTo128) {
    tb.writeFile("f.bin", pattern(4096));
    ReceiverPeer peer(con());
    peer.answer = [](const ReceiverPeer::Block& b, size_t index) {
        if (index < 5) return std::string(1, NAKc);
        return std::string(1, b.checkOk ? ACKc : NAKc);
    };
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sbk f.bin"), 0);
    // Six transmissions of the first 1K block, then 128-byte blocks only.
    EXPECT_EQ(types(peer), std::string(6, 'X') + std::string(24, 'S'));
}

TEST_F(SendTest, HeaderRetriesKeep1KDataBlocks) {
    tb.writeFile("f.bin", pattern(2500));
    ReceiverPeer peer(con());
    peer.ymodem = true;
    peer.startChars = "CK";
    peer.answer = [](const ReceiverPeer::Block& b, size_t index) {  // NAK, ACK (+CK)
        return std::string(index < 5 ? "\25" : b.number == 0 && b.data[0] ? "\6CK" : "\6");
    };
    peer.start("CK", 500000);
    EXPECT_EQ(xm("-sby f.bin"), 0);
    // Six headers, then the data blocks as without the retries.
    EXPECT_EQ(types(peer), std::string(6, 'S') + "XXSSSSS");
}

TEST_F(SendTest, TenTransmissionsWithoutAckGiveUp) {
    tb.writeFile("f.bin", pattern(100));
    ReceiverPeer peer(con());
    peer.answer = [](const ReceiverPeer::Block&, size_t) { return std::string(1, NAKc); };
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sb f.bin"), -1);
    EXPECT_EQ(peer.blocks.size(), 10u);
    EXPECT_TRUE(said("Too many errors in transmission"));
    EXPECT_NE(peer.raw.find(std::string(5, CANc)), std::string::npos);
}

TEST_F(SendTest, EotGoesElevenTimesThenGivesUp) {
    tb.writeFile("f.bin", pattern(10));
    ReceiverPeer peer(con());
    peer.ackEotAt = 0;
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sb f.bin"), -1);
    ASSERT_EQ(peer.eotTimes.size(), 11u);
    for (size_t i = 1; i < 11; ++i) EXPECT_EQ(peer.eotTimes[i] - peer.eotTimes[i - 1], 15000000u);
    EXPECT_TRUE(said("Remote System Not Responding on Completion"));
}

TEST_F(SendTest, EotAcknowledgedOnlyAtTheSixthIsAFailure) {
    tb.writeFile("f.bin", pattern(10));
    {
        ReceiverPeer peer(con());
        peer.ackEotAt = 5;
        peer.start("C", 500000);
        EXPECT_EQ(xm("-sb f.bin"), 0);
    }
    ReceiverPeer peer(con());
    peer.ackEotAt = 6;
    peer.start("C", 500000);
    EXPECT_EQ(xm("-sb f.bin"), -1);
    EXPECT_TRUE(said("Remote System Not Responding on Completion"));
}

TEST_F(SendTest, YmodemGWaitsForNoAcknowledgement) {
    std::string data = pattern(5000);
    tb.writeFile("g.bin", data);
    ReceiverPeer peer(con());
    peer.ymodem = true;
    peer.stream = true;
    peer.startChars = "G";
    peer.start("G", 500000);
    EXPECT_EQ(xm("-sby g.bin"), 0);
    // One transmission per block: header, 40 data blocks, end header.
    EXPECT_EQ(peer.blocks.size(), 42u);
    EXPECT_EQ(peer.files[0].substr(0, 5000), data);
}

TEST_F(SendTest, SilentReceiverAndCanCan) {
    tb.writeFile("f.bin", pattern(10));
    uint64_t t0 = plat::nowUs();
    EXPECT_EQ(xm("-sb f.bin"), -1);
    EXPECT_TRUE(said("Remote System Not Responding"));
    // 121 one-second reads after the 426 ms settle delay.
    EXPECT_EQ(plat::nowUs() - t0, 426000u + 121000000u);
    con().clearOutput();
    con().sendAfter(500000, std::string(2, CANc));
    EXPECT_EQ(xm("-sb f.bin"), -1);
    EXPECT_TRUE(said("Send Canceled by CAN-CAN"));
}

TEST_F(SendTest, Modem7BatchSendsNamesAndCloses) {
    tb.writeFile("data.bin", pattern(300));
    tb.writeFile("second.txt", "two\n");
    ReceiverPeer peer(con());
    peer.modem7 = true;
    peer.crc = false;
    peer.startChars = "\x15";
    peer.start("\x15", 500000);
    EXPECT_EQ(xm("-sbm data.bin missing second.txt"), 0);
    EXPECT_EQ(peer.modem7Names, (std::vector<std::string>{"DATA    BIN", "SECOND  TXT"}));
    EXPECT_TRUE(peer.batchClosed);
    ASSERT_EQ(peer.files.size(), 2u);
    EXPECT_EQ(peer.files[0], padded(pattern(300), 128));
    EXPECT_EQ(peer.files[1], padded("two\n", 128));
    EXPECT_NE(out().find("Ready to MODEM7 xbatch SEND in binary mode\n\r"), std::string::npos);
}

TEST_F(SendTest, NameConversions) {
    cpmify("/DskVol/files/Dir/Some:File.TXT");
    EXPECT_STREQ(xmodemName, "some/file.txt");
    unix_cpm("path/..hidden.name.ext");
    EXPECT_STREQ(xmodemName, "HIDDEN  NAM");
    unix_cpm("averylongname.c");
    EXPECT_STREQ(xmodemName, "AVERYLONC  ");
    unix_cpm("a:b");
    EXPECT_STREQ(xmodemName, "A/B        ");
    char n[] = "Dir/Name.TXT.";
    unixify(n);
    EXPECT_STREQ(n, "dir:name.txt");
    EXPECT_EQ(cpm_unix("READ    ME "), 0);
    EXPECT_STREQ(xmodemName, "read.me");
    EXPECT_EQ(cpm_unix("\xC1"
                       "B/C    X  "),
              0);
    EXPECT_STREQ(xmodemName, "ab:c.x");
}

// Records our sender's accepted blocks, then plays them to our receiver.
class RoundTrip : public SendTest {
  protected:
    std::vector<SenderPeer::Item> record(const char* args, bool ymodem) {
        ReceiverPeer peer(con());
        peer.ymodem = ymodem;
        peer.start("C", 500000);
        EXPECT_EQ(xm(args), 0) << args;
        // Every block was accepted at once; data blocks never wrap to 0 here.
        std::vector<SenderPeer::Item> items;
        for (const auto& b : peer.blocks) {
            EXPECT_TRUE(b.checkOk);
            SenderPeer::Item it;
            it.number = b.number;
            it.data = b.data;
            it.header = ymodem && b.number == 0;
            items.push_back(it);
        }
        return items;
    }
    void replay(const std::vector<SenderPeer::Item>& items, bool ymodem, const char* args) {
        SenderPeer peer(con());
        for (size_t i = 0; i < items.size(); ++i) {
            const auto& it = items[i];
            if (ymodem && it.header && i > 0) peer.addEot();
            peer.addBlock(it.number, it.data, it.header);
        }
        if (!ymodem) peer.addEot();
        EXPECT_EQ(xm(args), 0) << args;
        EXPECT_TRUE(peer.done());
    }
};

TEST_F(RoundTrip, YmodemKeepsEveryLengthExactly) {
    for (size_t size : {0, 1, 127, 128, 129, 1023, 1024, 1025}) {
        SCOPED_TRACE(size);
        std::string data = pattern(size, unsigned(size) + 1);
        tb.writeFile("src.bin", data);
        auto items = record("-sbky src.bin", true);
        plat::unlink("src.bin");
        replay(items, true, "-rb");
        EXPECT_EQ(tb.readFile("src.bin"), data);
    }
}

TEST_F(RoundTrip, XmodemKeepsTheDataAndThePadding) {
    for (size_t size : {1, 127, 128, 129, 1023, 1024, 1025}) {
        SCOPED_TRACE(size);
        std::string data = pattern(size, unsigned(size) + 3);
        tb.writeFile("src.bin", data);
        auto items = record(size % 2 ? "-sbk src.bin" : "-sb src.bin", false);
        replay(items, false, "-cbrke dst.bin");
        EXPECT_EQ(tb.readFile("dst.bin"), padded(data, 128));
    }
}

}  // namespace
