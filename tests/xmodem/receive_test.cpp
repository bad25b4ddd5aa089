// The receive engine against a scripted sender on a virtual clock.
#include <filesystem>
#include <set>

#include "peer.h"
#include "platform/platform.h"
#include "support/test_board.h"
#include "xmodem/xmodem.h"

namespace {

using namespace xmpeer;
namespace fs = std::filesystem;

class ReceiveTest : public XmodemTest {
  protected:
    // Every file on the board, to show that nothing appears outside the working directory.
    std::set<std::string> boardFiles() {
        std::set<std::string> files;
        for (auto& e : fs::recursive_directory_iterator(tb.dir()))
            if (e.is_regular_file()) files.insert(e.path().string());
        return files;
    }
};

TEST_F(ReceiveTest, SilentSenderSeesTenStartCharactersThenTheAbort) {
    std::vector<uint64_t> cTimes;
    std::string written;
    con().onWrite = [&](std::string_view s) {
        for (char c : s) {
            if (c == 'C' && con().options() == 0) cTimes.push_back(plat::nowUs());
        }
        written.append(s);
    };
    uint64_t t0 = plat::nowUs();
    EXPECT_EQ(xm("-cbrke f.bin"), -1);
    std::string abort = "\r\nABORTED -- Remote system is not sending file\n\r";
    size_t at = written.find(abort);
    ASSERT_NE(at, std::string::npos);
    // Only the protocol bytes before the message: ten 'C' 'K' pairs.
    std::string protocol = written.substr(0, at);
    protocol = protocol.substr(protocol.rfind("\n\r") + 2);
    std::string expect;
    for (int i = 0; i < 10; ++i) expect += "CK";
    EXPECT_EQ(protocol, expect);
    // The settle delay at 9600 bit/s is 213 ms; then 0, 1, 3, ... 45 s.
    const uint64_t settle = 213000;
    const int secs[] = {0, 1, 3, 6, 10, 15, 21, 28, 36, 45};
    ASSERT_GE(cTimes.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(cTimes[i] - t0, settle + secs[i] * 1000000ull) << i;
    EXPECT_FALSE(tb.exists("f.bin"));
    // The abort comes at 55 s, then the command pauses 5 s.
    EXPECT_EQ(plat::nowUs() - t0, settle + 60 * 1000000ull);
}

TEST_F(ReceiveTest, CallersFormTakesBothBlockSizesAndTheFirstEot) {
    SenderPeer peer(con());
    std::string a = pattern(128, 1), b = pattern(1024, 2);
    peer.addBlock(1, a);
    peer.addBlock(2, b);
    peer.addEot();
    EXPECT_EQ(xm("-cbrke f.bin"), 0);
    EXPECT_EQ(tb.readFile("f.bin"), a + b);
    EXPECT_EQ(peer.startLog, "C");
    EXPECT_TRUE(peer.done());
    std::string announce =
        "Ready to RECEIVE File f.bin in binary mode\n\r"
        "Send several Control-X characters to cancel before transfer starts.\n\r";
    EXPECT_EQ(out().substr(0, announce.size()), announce);
    // C K, an ACK per block, the ACK of the EOT: nothing else.
    EXPECT_EQ(out().substr(announce.size()), std::string("CK\x06\x06\x06"));
}

TEST_F(ReceiveTest, WithoutTheEOptionTheFirstEotIsRefused) {
    SenderPeer peer(con());
    peer.addFile("hello", 128);
    EXPECT_EQ(xm("-cbr f.bin"), 0);
    EXPECT_EQ(tb.readFile("f.bin"), "hello" + std::string(123, SUBc));
    // ACK for the block, NAK for the first EOT, ACK for the second.
    EXPECT_NE(out().find(std::string("C\x06\x15\x06")), std::string::npos);
}

TEST_F(ReceiveTest, EotWithoutAnyBlockLeavesAnExistingFileAlone) {
    tb.writeFile("f.bin", "old");
    SenderPeer peer(con());
    peer.addEot();
    EXPECT_EQ(xm("-cbrke f.bin"), 0);
    EXPECT_NE(out().find("Warning -- Target File Exists and is Being Overwritten\n\r"),
              std::string::npos);
    EXPECT_EQ(tb.readFile("f.bin"), "old");
}

TEST_F(ReceiveTest, DuplicateBlockIsAcknowledgedAndWrittenOnce) {
    SenderPeer peer(con());
    peer.addBlock(1, block128('a'));
    peer.addBlock(1, block128('a'));
    peer.addBlock(2, block128('b'));
    peer.addEot();
    EXPECT_EQ(xm("-cbrke f.bin"), 0);
    EXPECT_EQ(tb.readFile("f.bin"), block128('a') + block128('b'));
}

TEST_F(ReceiveTest, BlockThreeAfterOneDeletesTheFile) {
    SenderPeer peer(con());
    peer.addBlock(1, block128('a'));
    peer.addBlock(3, block128('c'));
    peer.addEot();
    EXPECT_EQ(xm("-cbrke f.bin"), -1);
    EXPECT_TRUE(said("ABORTED -- Too Many Errors -- Deleting File"));
    EXPECT_NE(out().find(std::string(5, CANc)), std::string::npos);
    EXPECT_FALSE(tb.exists("f.bin"));
}

TEST_F(ReceiveTest, FirstBlockTwoEndsAtOnceWithoutAFile) {
    SenderPeer peer(con());
    peer.addBlock(2, block128('b'));
    EXPECT_EQ(xm("-cbrke f.bin"), -1);
    EXPECT_TRUE(said("ABORTED -- Remote system is not responding"));
    EXPECT_FALSE(tb.exists("f.bin"));
}

TEST_F(ReceiveTest, CanCanBeforeTheFirstBlockCancels) {
    SenderPeer peer(con());
    peer.addFile("x", 128);
    peer.tamper = [](size_t item, int, std::string& wire) {
        if (item == 0) wire = std::string(2, CANc);
    };
    EXPECT_EQ(xm("-cbrke f.bin"), -1);
    EXPECT_TRUE(said("Reception Canceled by CAN-CAN"));
    EXPECT_FALSE(tb.exists("f.bin"));
}

TEST_F(ReceiveTest, CanAfterTheFirstBlockIsIgnoredUnlessAsked) {
    auto run = [&](const char* args) {
        SenderPeer peer(con());
        peer.addBlock(1, block128('a'));
        peer.addBlock(2, block128('b'));
        peer.addEot();
        peer.tamper = [](size_t item, int attempt, std::string& wire) {
            if (item == 1 && attempt == 0) wire = std::string(2, CANc) + wire;
        };
        return xm(args);
    };
    EXPECT_EQ(run("-cbrke f.bin"), 0);
    EXPECT_EQ(tb.readFile("f.bin"), block128('a') + block128('b'));
    con().clearOutput();
    EXPECT_EQ(run("-cbrkne g.bin"), -1);
    EXPECT_TRUE(said("Reception Canceled by CAN-CAN; partial file deleted"));
    EXPECT_FALSE(tb.exists("g.bin"));
}

TEST_F(ReceiveTest, SingleCanWithNIsAnErrorAndTheBlockComesAgain) {
    SenderPeer peer(con());
    peer.addBlock(1, block128('a'));
    peer.addBlock(2, block128('b'));
    peer.addEot();
    peer.tamper = [](size_t item, int attempt, std::string& wire) {
        if (item == 1 && attempt == 0) wire = std::string(1, CANc) + wire;
    };
    EXPECT_EQ(xm("-cbrne f.bin"), 0);
    EXPECT_EQ(tb.readFile("f.bin"), block128('a') + block128('b'));
}

TEST_F(ReceiveTest, TextModeDropsCrNulAndEndsABlockAtSub) {
    SenderPeer peer(con());
    std::string b1 = "line1\r\nline2\r\n";
    b1 += '\0';
    b1 += "\xC1";  // bit 7 cleared: 'A'
    b1 += SUBc;
    b1 += "dropped";
    b1.resize(128, 'z');
    std::string b2 = "abc\r\n";
    b2.resize(128, SUBc);
    peer.addBlock(1, b1);
    peer.addBlock(2, b2);
    peer.addEot();
    EXPECT_EQ(xm("-crke t.txt"), 0);
    EXPECT_EQ(tb.readFile("t.txt"), "line1\nline2\nAabc\n");
    EXPECT_NE(out().find(" in text mode\n\r"), std::string::npos);
}

TEST_F(ReceiveTest, YmodemLengthCutsTheFileAndTheHeaderNameWins) {
    SenderPeer peer(con());
    std::string data = pattern(1000);
    peer.addYmodemFile("Data.BIN", data, 128);
    peer.addYmodemEnd();
    EXPECT_EQ(xm("-cbrke given.bin"), 0);
    EXPECT_EQ(tb.readFile("data.bin"), data);
    EXPECT_FALSE(tb.exists("given.bin"));
    EXPECT_TRUE(peer.done());
}

TEST_F(ReceiveTest, YmodemBatchOfTwoFilesWithOneKBlocks) {
    SenderPeer peer(con());
    std::string a = pattern(3000, 3), b = pattern(5, 4);
    peer.addYmodemFile("a.bin", a, 1024);
    peer.addYmodemFile("b.bin", b, 128);
    peer.addYmodemEnd();
    EXPECT_EQ(xm("-rbk"), 0);
    EXPECT_EQ(tb.readFile("a.bin"), a);
    EXPECT_EQ(tb.readFile("b.bin"), b);
    EXPECT_FALSE(tb.exists("xmodem.in"));
    EXPECT_NE(out().find("Ready for xbatch RECEIVE in binary mode\n\r"), std::string::npos);
}

TEST_F(ReceiveTest, PlainBlocksInABatchReceiveFillXmodemIn) {
    SenderPeer peer(con());
    peer.addFile("plain", 128);
    EXPECT_EQ(xm("-rbe"), 0);
    EXPECT_EQ(tb.readFile("xmodem.in"), "plain" + std::string(123, SUBc));
}

TEST_F(ReceiveTest, CrcGivesWayToChecksumAtTheThirtiethStartCharacter) {
    SenderPeer peer(con());
    peer.addFile("sum", 128);
    // Every CRC block arrives damaged; checksum blocks arrive intact.
    peer.tamper = [](size_t, int, std::string& wire) {
        if (wire.size() == 133) wire.back() ^= 1;
    };
    EXPECT_EQ(xm("-cbre f.bin"), 0);
    EXPECT_EQ(peer.startLog, std::string(30, 'C') + "N");
    EXPECT_EQ(tb.readFile("f.bin"), "sum" + std::string(125, SUBc));
}

TEST_F(ReceiveTest, ChecksumGivesWayToCrcAtTheThirtiethStartCharacter) {
    SenderPeer peer(con());
    peer.addFile("crc", 128);
    peer.tamper = [](size_t, int, std::string& wire) {
        if (wire.size() == 132) wire.back() ^= 1;
    };
    EXPECT_EQ(xm("-bre f.bin"), 0);
    EXPECT_EQ(peer.startLog, std::string(30, 'N') + "C");
    EXPECT_EQ(tb.readFile("f.bin"), "crc" + std::string(125, SUBc));
}

TEST_F(ReceiveTest, TenBadBlocksAfterTheFirstAbortAndDelete) {
    SenderPeer peer(con());
    peer.addFile(pattern(256), 128);
    peer.tamper = [](size_t item, int, std::string& wire) {
        if (item == 1) wire[10] ^= 0x55;
    };
    EXPECT_EQ(xm("-cbrke f.bin"), -1);
    EXPECT_TRUE(said("ABORTED -- Too Many Errors -- Deleting File"));
    EXPECT_FALSE(tb.exists("f.bin"));
}

TEST_F(ReceiveTest, SenderStoppingMidFileKeepsWhatArrived) {
    SenderPeer peer(con());
    peer.addBlock(1, block128('a'));
    EXPECT_EQ(xm("-cbrke f.bin"), -1);
    EXPECT_TRUE(said("ABORTED -- Remote system is not sending file"));
    EXPECT_EQ(tb.readFile("f.bin"), block128('a'));
}

TEST_F(ReceiveTest, WriteErrorDeletesTheFile) {
    SenderPeer peer(con());
    peer.addFile(pattern(512), 128);
    tb.disk().failWriteAt(2);
    EXPECT_EQ(xm("-cbrke f.bin"), -1);
    EXPECT_TRUE(said("File Write Error"));
    EXPECT_FALSE(tb.exists("f.bin"));
}

TEST_F(ReceiveTest, YmodemGStreamsAndAnyDamageIsFatal) {
    {
        SenderPeer peer(con());
        std::string data = pattern(2000);
        peer.addYmodemFile("g.bin", data, 1024);
        peer.addYmodemEnd();
        EXPECT_EQ(xm("-rbg"), 0);
        EXPECT_EQ(tb.readFile("g.bin"), data);
        EXPECT_EQ(peer.startLog, "GGG");
        // No ACK for data blocks: only the EOT exchange and the end header.
        std::string o = out();
        EXPECT_EQ(std::count(o.begin(), o.end(), ACKc), 2);
    }
    con().clearOutput();
    SenderPeer peer(con());
    peer.addYmodemFile("h.bin", pattern(3000), 1024);
    peer.tamper = [](size_t item, int, std::string& wire) {
        if (item == 2) wire[100] ^= 1;
    };
    EXPECT_EQ(xm("-rbg"), -1);
    EXPECT_TRUE(said("ABORTED -- Too Many Errors -- Deleting File"));
    EXPECT_FALSE(tb.exists("h.bin"));
}

// A scripted MODEM7 sender: name exchange, one block, EOT, and the batch end.
struct Modem7Sender {
    Modem7Sender(plat::ScriptedConsole& con, std::string name11, std::string data)
        : con(con), name(std::move(name11)), data(std::move(data)) {
        con.onWrite = [this](std::string_view s) {
            for (char c : s) onByte(c);
        };
    }
    ~Modem7Sender() { con.onWrite = nullptr; }
    void say(const std::string& bytes) { con.sendAfter(1000, bytes); }
    void onByte(char c) {
        if (con.options() != 0) return;
        switch (phase) {
            case 0:  // start character: open the name exchange
                if (c == NAKc || c == 'C') {
                    idx = 1;
                    phase = 1;
                    say(std::string(1, ACKc) + name[0]);
                }
                break;
            case 1:
                if (c != ACKc) break;
                if (idx == abortAt) {
                    abortAt = -1;
                    phase = 0;
                    say("u");
                } else if (idx < 11) {
                    say(std::string(1, name[idx++]));
                } else {
                    say(std::string(1, SUBc));
                    phase = 2;
                }
                break;
            case 2:
                sumSeen = uint8_t(c);
                phase = 3;
                say(std::string(1, ACKc));
                break;
            case 3:
                if (c == NAKc || c == 'C') {
                    phase = 4;
                    std::string d = data;
                    d.resize(128, SUBc);
                    say(wireBlock(1, d, c == 'C'));
                }
                break;
            case 4:
                if (c == ACKc && eotSent) {
                    phase = 5;
                } else if (c == ACKc || c == NAKc) {
                    eotSent = 1;
                    say(std::string(1, EOTc));
                }
                break;
            case 5:
                if (c == NAKc || c == 'C') {
                    phase = 6;
                    say(std::string(1, ACKc) + EOTc);
                }
                break;
            default:
                break;
        }
    }
    plat::ScriptedConsole& con;
    std::string name, data;
    int phase = 0, idx = 0, abortAt = -1, eotSent = 0;
    uint8_t sumSeen = 0;
};

TEST_F(ReceiveTest, Modem7NameExchangeNamesTheFile) {
    Modem7Sender peer(con(), "READ    ME ", "modem seven");
    EXPECT_EQ(xm("-rbm"), 0);
    EXPECT_EQ(peer.sumSeen, sum8("READ    ME " + std::string(1, SUBc)));
    EXPECT_EQ(peer.phase, 6);
    std::string want = "modem seven";
    want.resize(128, SUBc);
    EXPECT_EQ(tb.readFile("read.me"), want);
}

TEST_F(ReceiveTest, Modem7AbortedNameIsRetried) {
    Modem7Sender peer(con(), "ABC     TXT", "x");
    peer.abortAt = 4;
    EXPECT_EQ(xm("-rbm"), 0);
    EXPECT_TRUE(tb.exists("abc.txt"));
}

TEST_F(ReceiveTest, Modem7HostileAndNullNames) {
    auto before = boardFiles();
    {
        Modem7Sender peer(con(), "../../X    ", "y");
        EXPECT_EQ(xm("-rbm"), 0);
        EXPECT_TRUE(tb.exists("..:..:x"));
    }
    {
        con().clearOutput();
        Modem7Sender peer(con(), "..         ", "y");
        EXPECT_EQ(xm("-rbm"), -1);
        EXPECT_TRUE(said("Can't create file for receive"));
    }
    {
        tb.writeFile("boot.dim", "list");
        before.insert(tb.hostPath("boot.dim"));
        Modem7Sender peer(con(), "BOOT    DIM", "y");
        EXPECT_EQ(xm("-rbm"), -1);
        EXPECT_EQ(tb.readFile("boot.dim"), "list");
    }
    {
        con().clearOutput();
        Modem7Sender peer(con(), std::string(1, '\0') + "AME    TXT", "y");
        EXPECT_EQ(xm("-rbm"), -1);
        EXPECT_TRUE(said("Null file name in MODEM7 batch receive"));
    }
    auto after = boardFiles();
    std::set<std::string> added;
    for (auto& f : after)
        if (!before.count(f)) added.insert(f);
    EXPECT_EQ(added, std::set<std::string>{tb.hostPath("..:..:x")});
}

TEST_F(ReceiveTest, HostileYmodemNamesStayInTheWorkingDirectory) {
    const char* stored[] = {"image1", "boot.dim", "log2.bin"};  // never named from the line
    for (const char* f : stored) tb.writeFile(f, f);
    auto before = boardFiles();
    struct Case {
        std::string name;
        std::string file;  // empty: refused
        std::string message;
    } cases[] = {
        {"../../x", "..:..:x", ""},
        {"/etc/X", ":etc:x", ""},
        {"..\\..\\y", "..:..:y", ""},
        {"..", "", "Can't create file for receive"},
        {".", "", "Can't create file for receive"},
        {"\xE9t\xE9.bin", "\xE9t\xE9.bin", ""},
        {std::string(300, 'n'), "", "File name in YMODEM header too long (over 255 characters)"},
        {"IMAGE1", "", "File image1 already exists, not received"},
        {"boot.dim", "", "File boot.dim already exists, not received"},
        {"log2.bin", "", "File log2.bin already exists, not received"},
    };
    std::set<std::string> expected;
    for (const auto& c : cases) {
        con().clearOutput();
        SenderPeer peer(con());
        peer.addBlock(0, ymodemHeader(c.name, "3", c.name.size() > 100 ? 1024 : 128), true);
        peer.addFile("abc", 128);
        peer.addYmodemEnd();
        int rc = xm("-rb");
        if (c.file.empty()) {
            EXPECT_EQ(rc, -1) << c.name;
            EXPECT_TRUE(said(c.message)) << c.name;
        } else {
            EXPECT_EQ(rc, 0) << c.name;
            EXPECT_EQ(tb.readFile(c.file), "abc") << c.name;
            expected.insert(tb.hostPath(c.file));
        }
    }
    std::set<std::string> added;
    for (auto& f : boardFiles())
        if (!before.count(f)) added.insert(f);
    EXPECT_EQ(added, expected);
    for (const char* f : stored) EXPECT_EQ(tb.readFile(f), f);
}

}  // namespace
