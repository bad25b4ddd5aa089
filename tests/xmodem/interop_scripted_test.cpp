// The directions lrzsz cannot take: YMODEM-G to a receiver that asks with
// 'G', and MODEM7 batch both ways. The peers here are scripted from the
// published protocols, and our two engines also meet each other (the sender
// on a second board in a child process).
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "interop_support.h"
#include "xmodem/xmodem.h"

namespace {

using namespace interop;
using stktest::HostLineBoard;
using stktest::LinePeer;
using stktest::RelayOptions;
using stktest::Wire;
using Files = std::map<std::string, std::string>;

// A YMODEM-G receiver: 'G' for each header and for the data, no
// acknowledgements but for EOT. Stores each file cut to its header length.
// Sends the start character until something other than noise answers, as
// receivers do: the sender may have flushed the first one away.
int askUntilAnswered(Wire& w, uint8_t start) {
    for (int tries = 0; tries < 10; ++tries) {
        w.put(start);
        int c = w.get(2000);
        if (c >= 0) return c;
    }
    return -1;
}

int ymodemGReceiver(Wire& w, Files* files) {
    for (;;) {
        int c = askUntilAnswered(w, 'G');
        uint8_t number = 0;
        std::string data;
        if ((c != kSOH && c != kSTX) || !readBlock(w, c, true, &number, &data) || number != 0)
            return 1;
        std::string name = data.c_str();
        if (name.empty()) return 0;  // end of the batch
        long length = std::strtol(data.c_str() + name.size() + 1, nullptr, 10);
        w.put('G');
        std::string content;
        uint8_t expected = 1;
        for (;;) {
            c = w.get(10000);
            if (c == kEOT) {
                w.put(kACK);
                break;
            }
            // Streaming has no second chance: any bad block ends the transfer.
            if ((c != kSOH && c != kSTX) || !readBlock(w, c, true, &number, &data) ||
                number != expected)
                return 2;
            content += data;
            ++expected;
        }
        if (size_t(length) > content.size()) return 3;
        content.resize(size_t(length));
        (*files)[name] = content;
    }
}

// A MODEM7 batch receiver in checksum mode: NAK, the name exchange, NAK for
// the data, ACK per block and for EOT; the batch ends with EOT for a name.
int modem7Receiver(Wire& w, Files* files) {
    for (;;) {
        if (askUntilAnswered(w, kNAK) != kACK) return 1;
        std::string name;
        uint8_t sum = 0;
        for (int i = 0; i < 11; ++i) {
            int c = w.get(16000);
            if (c < 0) return 2;
            if (i == 0 && c == kEOT) {
                w.put(kACK);
                return 0;
            }
            name.push_back(char(c));
            sum = uint8_t(sum + c);
            w.put(kACK);
        }
        if (w.get(16000) != kSUB) return 3;
        w.put(uint8_t(sum + kSUB));
        if (w.get(16000) != kACK) return 4;
        w.put(kNAK);
        std::string content;
        uint8_t expected = 1;
        for (;;) {
            int c = w.get(11000);
            if (c == kEOT) {
                w.put(kACK);
                break;
            }
            uint8_t number = 0;
            std::string data;
            if (c != kSOH || !readBlock(w, c, false, &number, &data)) {
                w.drain(200);
                w.put(kNAK);
                continue;
            }
            if (number == expected) {
                content += data;
                ++expected;
            }
            w.put(kACK);
        }
        (*files)[name] = content;
    }
}

struct Modem7File {
    std::string name11;  // 8 + 3 characters, space padded, no dot
    std::string data;
};

// A MODEM7 batch sender: waits for the receiver's NAK (or 'C'), sends each
// name character after the previous one's ACK, checks the receiver's sum,
// then the blocks; ends the batch with ACK and EOT.
int modem7Sender(Wire& w, const std::vector<Modem7File>& files) {
    auto startChar = [&](int timeoutMs) {
        for (;;) {
            int c = w.get(timeoutMs);
            if (c < 0 || c == kNAK || c == 'C') return c;
        }
    };
    for (const auto& f : files) {
        if (startChar(20000) < 0) return 1;
        w.put(kACK);
        uint8_t sum = 0;
        for (size_t i = 0; i < 11; ++i) {
            if (i > 0 && w.get(15000) != kACK) return 2;
            w.put(uint8_t(f.name11[i]));
            sum = uint8_t(sum + uint8_t(f.name11[i]));
        }
        if (w.get(15000) != kACK) return 2;
        w.put(kSUB);
        if (w.get(16000) != uint8_t(sum + kSUB)) return 3;
        w.put(kACK);
        int start = startChar(20000);
        if (start < 0) return 4;
        bool crc = start == 'C';
        std::string padded = f.data;
        padded.append((128 - padded.size() % 128) % 128, char(kSUB));
        for (size_t at = 0, n = 1; at < padded.size(); at += 128, ++n) {
            int tries = 0;
            for (;;) {
                w.put(block(uint8_t(n), padded.substr(at, 128), crc));
                int c = w.get(10000);
                if (c == kACK) break;
                if (++tries == 10) return 5;
            }
        }
        int tries = 0;
        do {
            w.put(kEOT);
            if (++tries == 10) return 6;
        } while (w.get(6000) != kACK);
    }
    if (startChar(20000) < 0) return 7;
    w.put(kACK);
    w.put(kEOT);
    return w.get(5000) == kACK ? 0 : 8;
}

class InteropScripted : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!stktest::xmodemEngineAvailable()) GTEST_SKIP() << "transfer command not built yet";
        board_ = std::make_unique<HostLineBoard>();
        ASSERT_TRUE(board_->ok()) << board_->error();
    }
    void TearDown() override { board_.reset(); }

    RelayOptions relayOptions() {
        RelayOptions opt;
        opt.discardUntil = kAnnounceEnd;
        opt.holdMs = 150;
        return opt;
    }

    // Runs our command against the other engine on a board in a child process.
    int againstChild(const std::string& ourArgs, const std::function<int(HostLineBoard&)>& child,
                     int* childRc) {
        int master = -1;
        pid_t pid = forkBoard(child, &master);
        if (pid < 0) return -2;
        LinePeer relay;
        relay.startRelay(board_->lineFd(), master, relayOptions());
        int rc = xmodem(ourArgs.c_str());
        *childRc = reapChild(pid, 30000);
        relay.wait(1000);
        ::close(master);
        return rc;
    }

    std::unique_ptr<HostLineBoard> board_;
};

TEST_F(InteropScripted, YmodemGSendToAReceiverThatAsksWithG) {
    const std::vector<size_t> sizes = {1, 1025, 5000};
    std::string args = "-sbyk";
    for (size_t n : sizes) {
        board_->writeFile(sizeName(n), stktest::randomBytes(n, uint32_t(n + 21)));
        args += " " + sizeName(n);
    }
    Files got;
    LinePeer peer;
    ASSERT_TRUE(peer.startScript(
        board_->lineFd(), [&](Wire& w) { return ymodemGReceiver(w, &got); }, relayOptions()));
    EXPECT_EQ(xmodem(args.c_str()), 0);
    EXPECT_EQ(peer.wait(20000), 0);
    for (size_t n : sizes)
        EXPECT_TRUE(got[sizeName(n)] == stktest::randomBytes(n, uint32_t(n + 21))) << n;
}

TEST_F(InteropScripted, Modem7BatchSend) {
    board_->writeFile("a.bin", stktest::randomBytes(300, 22));
    board_->writeFile("readme.txt", stktest::randomBytes(128, 23));
    Files got;
    LinePeer peer;
    ASSERT_TRUE(peer.startScript(
        board_->lineFd(), [&](Wire& w) { return modem7Receiver(w, &got); }, relayOptions()));
    EXPECT_EQ(xmodem("-sbm a.bin readme.txt"), 0);
    EXPECT_EQ(peer.wait(30000), 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(isPadded(got["A       BIN"], stktest::randomBytes(300, 22), 128));
    EXPECT_TRUE(isPadded(got["README  TXT"], stktest::randomBytes(128, 23), 128));
}

TEST_F(InteropScripted, Modem7BatchReceive) {
    std::vector<Modem7File> files = {{"DATA1   BIN", stktest::randomBytes(200, 24)},
                                     {"LOG     TXT", stktest::randomBytes(1, 25)}};
    LinePeer peer;
    ASSERT_TRUE(peer.startScript(
        board_->lineFd(), [&](Wire& w) { return modem7Sender(w, files); }, relayOptions()));
    EXPECT_EQ(xmodem("-rbm"), 0);
    EXPECT_EQ(peer.wait(30000), 0);
    EXPECT_TRUE(isPadded(board_->readFile("data1.bin"), files[0].data, 128));
    EXPECT_TRUE(isPadded(board_->readFile("log.txt"), files[1].data, 128));
    EXPECT_FALSE(board_->exists("xmodem.in"));
}

TEST_F(InteropScripted, YmodemGBetweenOurOwnEngines) {
    const std::vector<size_t> sizes = {1, 1025, 70000};
    int childRc = -1;
    int rc = againstChild(
        "-rbg",
        [&](HostLineBoard& b) {
            std::string args = "-sbyk";
            for (size_t n : sizes) {
                b.writeFile(sizeName(n), stktest::randomBytes(n, uint32_t(n + 31)));
                args += " " + sizeName(n);
            }
            return xmodem(args.c_str()) == 0 ? 0 : 1;
        },
        &childRc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(childRc, 0);
    for (size_t n : sizes)
        EXPECT_TRUE(board_->readFile(sizeName(n)) == stktest::randomBytes(n, uint32_t(n + 31)))
            << n;
}

TEST_F(InteropScripted, Modem7BetweenOurOwnEngines) {
    int childRc = -1;
    int rc = againstChild(
        "-rbm",
        [&](HostLineBoard& b) {
            b.writeFile("one.bin", stktest::randomBytes(1000, 41));
            b.writeFile("two", stktest::randomBytes(129, 42));
            return xmodem("-sbm one.bin two") == 0 ? 0 : 1;
        },
        &childRc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(childRc, 0);
    EXPECT_TRUE(isPadded(board_->readFile("one.bin"), stktest::randomBytes(1000, 41), 128));
    EXPECT_TRUE(isPadded(board_->readFile("two"), stktest::randomBytes(129, 42), 128));
}

}  // namespace
