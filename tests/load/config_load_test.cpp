// Configuration load, the prom file load with its record walk and MAC address
// check, and the NVRAM file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "load/load.h"
#include "support/test_board.h"
#include "support/test_images.h"
#include "support/xmodem_sender.h"

namespace {

const char kTexts[] = "load/load_texts.txt";  // console texts

using Config = stktest::BoardTest;

TEST_F(Config, OptionFiveReceivesTheFileAsItIs) {
    for (bool cancel : {false, true}) {
        tb.writeFile("tempcfg.bin", "previous configuration");
        loadtest::XmodemSender sender(con(), "hostname switch\n", 128);
        if (cancel) sender.cancelAtStart();
        con().clearOutput();
        tb.run([&] { EXPECT_EQ(load_configuration(), cancel ? 1 : 0); });
        EXPECT_TRUE(stktest::matchesGolden(con().output(), kTexts,
                                           cancel ? "OptionFiveCancelled" : "OptionFive"));
        // Deleted before the transfer began.
        EXPECT_EQ(tb.exists("tempcfg.bin"), !cancel);
        EXPECT_EQ(tb.readFile("tempcfg.bin"), cancel ? "" : sender.padded());
    }
}

// A 256-byte prom file: the records from offset 2, sealed with the CRC of
// bytes 2 to 255.
std::string prom(const std::string& records, size_t flip = 0) {
    std::string file = ".." + records + std::string(254 - records.size(), '\0');
    stktest::restoreCrc(file);
    file[flip] ^= flip ? 0x40 : 0;
    return file.substr(0, 256);
}
const std::string kMac("\x08\xA0\x00\x06\x29\x32\x81\x40", 8);

TEST_F(Config, PromFileLoad) {
    const struct {
        std::string file;
        bool kept;
        bool cancel = false;
        long failWrite = 0;
    } cases[] = {
        {prom("\x04\x01xy" + kMac + "\x04\xA2\x12\x34"), false},
        {prom(std::string("\x02\x00\x08\xA0", 4) + std::string(6, '\0')), false},
        {prom(kMac, 100), false},
        // An unknown record is skipped by its length before the MAC is reached.
        {prom("\x07\x07zzzzz\x08\xA0" + std::string(6, '\0')), true},
        {prom("\x08\xA0" + std::string(6, '\xFF')), true},
        // A record of length 1 advances by one byte.
        {prom(std::string("\x01\x05\x07\0\0\0\x08\xA0", 8) + std::string(6, '\0')), true},
        // A record of length 0 ends the walk; so do records reaching past the end.
        {prom(std::string("\x00\x05\x08\xA0", 4) + std::string(6, '\0')), false},
        {prom("\xF8\x06" + std::string(246, '\x11') + "\x08\xA0"), false},
        {prom("\xFC\x06" + std::string(250, '\x22') + "\xC8\xA0"), false},
        {"x", false, true},
        {std::string(100, 'h'), true},
        // Two block writes of the transfer, then the write-back fails.
        {prom(kMac), true, false, 3},
    };
    for (const auto& c : cases) {
        loadtest::XmodemSender sender(con(), c.file, 128);
        if (c.cancel) sender.cancelAtStart();
        tb.disk().failWriteAt(c.failWrite);
        con().clearOutput();
        EXPECT_FALSE(tb.run([] { ConfigDataLoadNVRAM(); }));
        const std::string& out = con().output();
        EXPECT_TRUE(stktest::matchesGolden(out, kTexts, "Prom" + std::to_string(&c - cases)));
        EXPECT_EQ(tb.exists("VPDprom.txt"), c.kept) << out;
        if (c.kept && !c.failWrite) {
            EXPECT_EQ(tb.readFile("VPDprom.txt"), sender.padded());
        }
        plat::unlink("VPDprom.txt");
    }
}

TEST_F(Config, NvRamFile) {
    std::string data(300, '\0'), back(300, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7);
    // A short file fails the read; a negative length is refused before the file is cut.
    std::vector<int> got = {sysNvRamSet(data.data(), 300), sysNvRamGet(back.data(), 300),
                            sysNvRamSet(nullptr, 0),       sysNvRamGet(back.data(), 0),
                            sysNvRamSet(data.data(), 50),  sysNvRamGet(back.data(), 100),
                            sysNvRamSet("x", -1),          sysNvRamGet(back.data(), -5)};
    EXPECT_EQ(got, (std::vector<int>{0, 0, 0, 0, 0, -1, -1, -1}));
    EXPECT_EQ(back, data);
    EXPECT_EQ(tb.readFile("nvram.bin"), data.substr(0, 50));
    tb.disk().setFreeBytes(10);
    EXPECT_EQ(sysNvRamSet(data.data(), 50), -1);
    plat::unlink("nvram.bin");
    EXPECT_EQ(sysNvRamGet(back.data(), 8), -1);
    ASSERT_EQ(plat::mkdir("nvram.bin"), 0);  // a folder where the file goes
    EXPECT_EQ(sysNvRamSet("x", 1), -1);
    EXPECT_TRUE(stktest::matchesGolden(con().output(), "load/load_texts.txt", "NvramFailures"));
}

}  // namespace
