// Configuration load, the prom file load with its record walk, the MAC
// address check, and the NVRAM file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/stk_format.h"
#include "load/load.h"
#include "support/test_board.h"
#include "support/xmodem_sender.h"

namespace {

constexpr const char* kReady = "Ready to receive the file with XMODEM/CRC....\n";
constexpr const char* kComplete = "\n\nXMODEM transfer complete, checking CRC....\n";
constexpr const char* kRecvError = "Error while receiving file with XMODEM.\n";
constexpr const char* kSource = "../../../bsp/cpu/tb8541/vxworks/start/bootConfig";
constexpr const char* kVerified = "Write with Read Verify complete...\n\n";
constexpr const char* kCorruptMac =
    "The mac address in this VPD file seems corrupt.\nVPD not stored.\n\n";

using Config = stktest::BoardTest;

TEST_F(Config, OptionFiveLeavesTheReceivedFile) {
    tb.writeFile("tempcfg.bin", "previous configuration");
    std::string cfg = "hostname switch\ninterface 0/1\n";
    loadtest::XmodemSender sender(con(), cfg, 128);
    int rc = -1;
    ASSERT_FALSE(tb.run([&] { rc = load_configuration(); }));
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(sender.finished());
    EXPECT_EQ(tb.readFile("tempcfg.bin"), sender.padded());
    std::string out = con().output();
    EXPECT_EQ(out.substr(0, std::strlen(kReady)), kReady);
    EXPECT_EQ(out.substr(out.size() - std::strlen(kComplete)), kComplete);
}

TEST_F(Config, OptionFiveReportsAFailedTransfer) {
    tb.writeFile("tempcfg.bin", "previous configuration");
    loadtest::XmodemSender sender(con(), "x", 128);
    sender.cancelAtStart();
    int rc = -1;
    ASSERT_FALSE(tb.run([&] { rc = load_configuration(); }));
    EXPECT_EQ(rc, 1);
    std::string out = con().output();
    EXPECT_EQ(out.substr(out.size() - std::strlen(kRecvError)), kRecvError);
    EXPECT_FALSE(tb.exists("tempcfg.bin"));  // deleted before the transfer began
}

// --- Prom file -------------------------------------------------------------------

struct Prom {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(256, 0);
    size_t pos = 2;
    Prom& record(uint8_t type, std::vector<uint8_t> data, int length = -1) {
        bytes[pos] = uint8_t(length < 0 ? data.size() + 2 : size_t(length));
        bytes[pos + 1] = type;
        for (size_t i = 0; i < data.size() && pos + 2 + i < 256; ++i) bytes[pos + 2 + i] = data[i];
        pos += data.size() + 2;
        return *this;
    }
    // Stored CRC: STK CRC-16 of bytes 2..255, computed bit by bit here (data
    // bits shifted into the register, no augmentation).
    std::string sealed() {
        uint16_t r = 0;
        for (size_t i = 2; i < 256; ++i) {
            uint8_t d = bytes[i];
            for (int b = 0; b < 8; ++b) {
                bool top = (r & 0x8000) != 0;
                r = uint16_t((r << 1) | ((d >> 7) & 1));
                d = uint8_t(d << 1);
                if (top) r ^= 0xA097;
            }
        }
        bytes[0] = uint8_t(r >> 8);
        bytes[1] = uint8_t(r);
        return std::string(bytes.begin(), bytes.end());
    }
};

const std::vector<uint8_t> kGoodMac = {0x00, 0x06, 0x29, 0x32, 0x81, 0x40};

class PromLoad : public stktest::BoardTest {
  protected:
    std::string run(const std::string& file) {
        loadtest::XmodemSender sender(con(), file, 128);
        con().clearOutput();
        EXPECT_FALSE(tb.run([] { ConfigDataLoadNVRAM(); }));
        std::string out = con().output();
        size_t at = out.find(kComplete);
        return at == std::string::npos ? out : out.substr(at + std::strlen(kComplete));
    }
};

TEST_F(PromLoad, ReferenceCrcMatchesTheBoardsCrc) {
    // Guards the hand-written CRC above against the one in the board's codec.
    Prom p;
    p.record(0xA0, kGoodMac).record(0x05, {1, 2, 3});
    std::string s = p.sealed();
    EXPECT_EQ(stk::getBe16(reinterpret_cast<const uint8_t*>(s.data())),
              stk::stkCrc16(reinterpret_cast<const uint8_t*>(s.data()) + 2, 254));
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(stk::stkCrc16(abc, 3), 0x20FE);
}

TEST_F(PromLoad, GoodFileIsWrittenBackVerifiedAndDeleted) {
    Prom p;
    p.record(0x01, {'x', 'y'}).record(0xA0, kGoodMac).record(0xA2, {0x12, 0x34});
    EXPECT_EQ(run(p.sealed()), kVerified);
    EXPECT_FALSE(tb.exists("VPDprom.txt"));
}

TEST_F(PromLoad, FirstRecordOfTypeZeroIsWrittenBackUnchanged) {
    Prom p;
    p.record(0x00, {}).record(0xA0, std::vector<uint8_t>(6, 0));  // never reached
    EXPECT_EQ(run(p.sealed()), kVerified);
    EXPECT_FALSE(tb.exists("VPDprom.txt"));
}

TEST_F(PromLoad, WrongCrcDeletesTheFile) {
    Prom p;
    p.record(0xA0, kGoodMac);
    std::string file = p.sealed();
    file[100] ^= 0x40;
    EXPECT_EQ(run(file), "ERROR: Computed CRC does not equal CRC in prom file!\n");
    EXPECT_FALSE(tb.exists("VPDprom.txt"));
}

TEST_F(PromLoad, UnusableMacKeepsTheFileUnstored) {
    for (uint8_t fill : {uint8_t(0x00), uint8_t(0xFF)}) {
        Prom p;
        // An unknown record is skipped by its length before the MAC is reached.
        p.record(0x07, {9, 9, 9, 9, 9}).record(0xA0, std::vector<uint8_t>(6, fill));
        std::string file = p.sealed();
        EXPECT_EQ(run(file), kCorruptMac) << int(fill);
        EXPECT_EQ(tb.readFile("VPDprom.txt").substr(0, 256), file);
    }
}

TEST_F(PromLoad, ZeroLengthRecordEndsTheWalk) {
    Prom p;
    p.record(0x05, {}, 0);  // length 0, type 5: the walk cannot advance
    p.record(0xA0, std::vector<uint8_t>(6, 0));
    EXPECT_EQ(run(p.sealed()), kVerified);
    // Length 1 advances by one byte (to a record of length 5, type 7): the
    // all-zero MAC behind them is checked.
    Prom q;
    for (auto [at, v] : {std::pair{2, 1}, {3, 5}, {4, 7}, {8, 8}, {9, 0xA0}})
        q.bytes[at] = uint8_t(v);
    EXPECT_EQ(run(q.sealed()), kCorruptMac);
}

TEST_F(PromLoad, RecordsReachingPastTheEndAreNotRead) {
    Prom p;
    p.record(0x06, std::vector<uint8_t>(246, 0x11));  // bytes 2..249
    // A MAC record at 250 whose data would end at 258.
    p.bytes[250] = 8;
    p.bytes[251] = 0xA0;
    EXPECT_EQ(run(p.sealed()), kVerified);
    // A record at 254 whose length points far beyond.
    Prom q;
    q.record(0x06, std::vector<uint8_t>(250, 0x22));  // bytes 2..253
    q.bytes[254] = 200;
    q.bytes[255] = 0x33;
    EXPECT_EQ(run(q.sealed()), kVerified);
}

TEST_F(PromLoad, FailedTransferReportsTheUnlinkOfTheMissingFile) {
    loadtest::XmodemSender sender(con(), "x", 128);
    sender.cancelAtStart();
    ASSERT_FALSE(tb.run([] { ConfigDataLoadNVRAM(); }));
    std::string out = con().output();
    std::string tail = std::string(kRecvError) + kSource + ":359: unlink failed\n";
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(PromLoad, ShortFileIsAReadFailure) {
    // One 128-byte block: half a prom file.
    std::string half(100, 'h');
    loadtest::XmodemSender sender(con(), half, 128);
    ASSERT_FALSE(tb.run([] { ConfigDataLoadNVRAM(); }));
    std::string out = con().output();
    std::string tail = std::string(kComplete) + kSource + ":380: read failed\n";
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(tb.readFile("VPDprom.txt"), sender.padded());  // left as received
}

TEST_F(PromLoad, FailedWriteBackIsReported) {
    Prom p;
    p.record(0xA0, kGoodMac);
    std::string file = p.sealed();
    loadtest::XmodemSender sender(con(), file, 128);
    // Two block writes of the transfer, then the write-back fails.
    tb.disk().failWriteAt(3);
    ASSERT_FALSE(tb.run([] { ConfigDataLoadNVRAM(); }));
    std::string out = con().output();
    std::string tail = std::string(kSource) + ":436: write failed\n";
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

// --- MAC address check --------------------------------------------------------

TEST(EnetAddr, RefusesAllZeroAndAllOnes) {
    uint8_t zero[6] = {0, 0, 0, 0, 0, 0};
    uint8_t ones[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t good[6] = {0x00, 0x06, 0x29, 0x32, 0x81, 0x40};
    uint8_t almost[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(sysEnetAddrGet("bc", 0, zero), -1);
    EXPECT_EQ(sysEnetAddrGet("bc", 0, ones), -1);
    EXPECT_EQ(sysEnetAddrGet("bc", 0, good), 0);
    EXPECT_EQ(sysEnetAddrGet("bc", 0, almost), 0);
    EXPECT_EQ(good[5], 0x40);  // the address is left as it is
    EXPECT_EQ(sysEnetAddrGet("bc", 1, good), -1);
    EXPECT_EQ(sysEnetAddrGet("mottsec", 0, good), -1);
}

// --- NVRAM file -----------------------------------------------------------------

using NvRam = stktest::BoardTest;

TEST_F(NvRam, SetThenGetRoundTrip) {
    std::string data(300, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
    EXPECT_EQ(sysNvRamSet(data.data(), int32_t(data.size())), 0);
    EXPECT_EQ(tb.readFile("nvram.bin"), data);
    std::string back(300, 'x');
    EXPECT_EQ(sysNvRamGet(back.data(), 300), 0);
    EXPECT_EQ(back, data);
    // A shorter set replaces the whole content.
    EXPECT_EQ(sysNvRamSet("abc", 3), 0);
    EXPECT_EQ(tb.readFile("nvram.bin"), "abc");
    EXPECT_EQ(con().output(), "");
}

TEST_F(NvRam, ZeroLengthCreatesEmptyFile) {
    EXPECT_EQ(sysNvRamSet(nullptr, 0), 0);
    EXPECT_TRUE(tb.exists("nvram.bin"));
    EXPECT_EQ(tb.readFile("nvram.bin"), "");
    char c = 'q';
    EXPECT_EQ(sysNvRamGet(&c, 0), 0);
    EXPECT_EQ(c, 'q');
}

TEST_F(NvRam, ShortFileFailsTheRead) {
    std::string fifty(50, 'f');
    ASSERT_EQ(sysNvRamSet(fifty.data(), 50), 0);
    std::string buf(100, '\0');
    EXPECT_EQ(sysNvRamGet(buf.data(), 100), -1);
    EXPECT_EQ(con().output(), "Unable to read from NVRAM file\n");
    EXPECT_EQ(buf.substr(0, 50), fifty);  // what was read stays
}

TEST_F(NvRam, Failures) {
    char buf[8];
    EXPECT_EQ(sysNvRamGet(buf, 8), -1);
    EXPECT_EQ(con().takeOutput(), "Unable to open NVRAM file\n");

    tb.disk().setFreeBytes(10);
    std::string big(50, 'b');
    EXPECT_EQ(sysNvRamSet(big.data(), 50), -1);
    EXPECT_EQ(con().takeOutput(), "Unable to write to NVRAM file\n");
    tb.disk().clearFaults();

    ASSERT_EQ(sysNvRamSet("keep", 4), 0);
    EXPECT_EQ(sysNvRamSet("x", -1), -1);
    EXPECT_EQ(con().takeOutput(), "Unable to write to NVRAM file\n");
    EXPECT_EQ(tb.readFile("nvram.bin"), "keep");  // refused before truncating
    EXPECT_EQ(sysNvRamGet(buf, -5), -1);
    EXPECT_EQ(con().takeOutput(), "Unable to read from NVRAM file\n");

    // A directory in the file's place cannot be created as a file.
    plat::unlink("nvram.bin");
    ASSERT_EQ(plat::mkdir("nvram.bin"), 0);
    EXPECT_EQ(sysNvRamSet("x", 1), -1);
    EXPECT_EQ(con().takeOutput(), "Unable to create NVRAM file\n");
}

}  // namespace
