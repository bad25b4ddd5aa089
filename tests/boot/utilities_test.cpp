// The utilities menu as console transcripts: board set-up, typed input, the
// output found in order, and what the board holds afterwards.
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "board/i2c.h"
#include "boot/boot.h"
#include "support/test_board.h"

namespace {

using stktest::TestBoard;
const std::string kSelect = "\n0  - Return to main menu\nSelect option (0-17): ";
const std::string kMenuAgain = "\nBoot code utilities menu\n";
const std::string kTestHeads =
    "SDRAM walking 1's test...\nSDRAM walking 0's test...\nSDRAM Address Aliasing test...\n";

// A device that records the bus cycles it is given.
struct Recorder : plat::BusDevice {
    std::vector<std::tuple<int, uint32_t, uint32_t>> cycles;  // width, offset, value
    bool read(uint32_t, int, uint32_t* value) override { return *value = 0, true; }
    bool write(uint32_t offset, int width, uint32_t value) override {
        cycles.emplace_back(width, offset, value);
        return true;
    }
};

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

struct Row {
    const char* name;
    std::function<void(TestBoard&)> setup;
    std::string input;
    std::vector<std::string> transcript;  // found in this order; "!text": nowhere
    std::function<void(TestBoard&, const std::string&)> check = nullptr;
};

const Row kRows[] = {
    {"UnknownNumbersShowTheMenuAgainAndZeroReturns",
     nullptr,
     "18\r?\r0\r",
     {},
     [](TestBoard&, const std::string& out) {
         std::string menu = out.substr(0, out.size() / 3);
         EXPECT_EQ(out, menu + menu + menu);
         EXPECT_EQ(menu.find(kMenuAgain + "Options are:\n1  - Read/Write memory\n"), 0u);
         EXPECT_EQ(count(menu, " - ") * 1000 + menu.rfind(kSelect),
                   18000 + menu.size() - kSelect.size());
     }},
    {"DumpsAndStoresOfEachWidth",
     [](TestBoard&) {
         std::string bytes = std::string("0123456789abcdefZ.") + '\0' + '\xff';
         for (size_t i = 0; i < bytes.size(); ++i)
             plat::board().map().write8(0x0c004000 + uint32_t(i), uint8_t(bytes[i]));
         plat::board().map().attachOwned(0xE0000000, 0x100, std::make_unique<Recorder>(), "rec");
     },
     "1\r\rr\rx 100 1\rr c004000 20\rr 7c004000 2\rr f0001000 1\rwl e0000010 12345678\r"
     "ww e0000020 12345678\rwb e0000031 1ff\rwx e0000040 1\rwl 100 a1b2c3d4\rr 100 4\rq\r0\r",
     {"q to quit\n> > > > ",
      "         0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f  \n0c004000 30 31 32 33 34 35 36 37 "
      "38 39 61 62 63 64 65 66 0123456789abcdef\n0c004010 5a 2e 00 ff " +
          std::string(36, ' ') + "Z---\n> ",
      "         0  1  \n7c004000 ff ff " + std::string(42, ' ') + "--\n> ",
      "         0  \nf0001000 ff " + std::string(45, ' ') + "-\n> \n> \n> \n> \n> \n> ",
      "\n00000100 a1 b2 c3 d4 "},
     [](TestBoard&, const std::string&) {
         using C = std::tuple<int, uint32_t, uint32_t>;
         EXPECT_EQ(plat::board().map().find<Recorder>()->cycles,
                   (std::vector<C>{{4, 0x10, 0x12345678}, {2, 0x20, 0x5678}, {1, 0x31, 0xff}}));
     }},
    {"RamTestPasses",
     nullptr,
     "6\r0\r",
     {"Allocating memory of size 0x00100000...\n" + kTestHeads +
      "SDRAM tests completed successfully.\n\n"}},
    {"RamTestFindsAStuckBit",
     [](TestBoard&) { plat::board().ram().stuckBits(0x0EF00043, 0x08, false); },
     "6\r0\r",
     {"SDRAM walking 1's test...\nSDRAM walking 1's test failed.\nLocation 0x0ef00040\n"
      "Wrote    0x00000008\nRead     0x00000000\n" +
          kMenuAgain,
      "!walking 0's"}},
    {"RamTestFindsAddressAliasing",
     [](TestBoard&) { plat::board().ram().aliasAddressLines(0x400); },
     "6\r0\r",
     {kTestHeads +
      "SDRAM Address Aliasing error.\nLocation 0x0ef00400\nWrote    0x00000000\n"
      "Read     0xffffffff\n" +
      kMenuAgain}},
    {"FileTestMismatchesEndTheFirstOfTwoIterations",
     [](TestBoard& tb) {
         tb.writeFile("image1", std::string(100, '\x10'));
         tb.disk().corruptReadsOf("tempcode.bin", 0x01);
     },
     "12\r2\r10\r7\r0\r",
     {"Input iterations (0=forever) \nInput write size \nInput read size \n\nTest will run 2 "
      "times (forever if 0)\nFile size:  100\n\nIter 1 of 2 -\n\nData mismatch at location 0, "
      "expected 0x10 and received 0x11\nData mismatch at location 1,",
      "location 20, expected 0x10 and received 0x11\nMore than 20 data mismatch\n" + kMenuAgain,
      "!Iter 2", "!location 21"}},
    {"FileTestRunsEveryIteration",
     [](TestBoard& tb) { tb.writeFile("image1", "0123456789ab"); },
     "12\r2\r5\r3\r0\r",
     {"File size:  12\n\nIter 1 of 2 -\n\nIter 2 of 2 -\n" + kMenuAgain, "!mismatch"},
     [](TestBoard& tb, const std::string&) {
         EXPECT_EQ(tb.readFile("tempcode.bin"), "0123456789ab");
     }},
    {"FileTestEndsOnSizesBelowOneNoMemoryOrNoImage",
     [](TestBoard&) { plat::failMallocAt(2); },
     "12\r1\r0\r5\r12\r1\r1\r1\r12\r1\r1\r1\r0\r",
     {"(forever if 0)\n\nWrite and read sizes must be at least 1.\n" + kMenuAgain,
      "Not enough memory for the file system test.\n", "\nError opening operational code.\n"}},
    {"FormatEmptiesTheDiskAndStartsItAsNew",
     [](TestBoard& tb) { tb.writeFile("stale.cfg", "x"); },
     "11\r0\r",
     {"usrTffsConfig returned 0x", "TFFS Formatted....Device details...\n"},
     [](TestBoard& tb, const std::string&) {
         EXPECT_FALSE(tb.exists("stale.cfg"));
         EXPECT_TRUE(tb.exists("log2.bin"));  // as on a new board: no images, no list
         EXPECT_EQ(tb.disk().cwd(), "/DskVol/files");
         tb.con().clearOutput();
         EXPECT_EQ(tffsPPCInit(), 0);  // the next mount finds a formatted disk
         EXPECT_EQ(tb.con().output(), "\n\n");
     }},
    {"ListingWithTotalsThenDeletes",
     [](TestBoard& tb) {
         tb.writeFile("a.bin", "0123456789");
         tb.writeFile("b.txt", "01234");
         std::filesystem::create_directory(tb.hostPath("sub"));
     },
     "7\r17\rb.txt\r17\rnope\r0\r",
     {"Filesystem size 32178176\nBytes used      15\nBytes free      32178161\n",
      "Input filename - \nBoot code utilities menu",
      "Input filename - Are you sure that file exists? Try again...\n"},
     [](TestBoard& tb, const std::string& out) {
         EXPECT_TRUE(count(out, "\nsub\n") + count(out, "a.bin" + std::string(29, ' ') + "10 ") ==
                     2);
         EXPECT_FALSE(tb.exists("b.txt") || tb.exists("dummy1"));
     }},
    {"LongListingStaysWithinItsText",
     [](TestBoard& tb) {
         for (int i = 0; i < 100; ++i) tb.writeFile(std::string(150, 'f') + std::to_string(i), "x");
     },
     "7\r0\r",
     {"\nBytes used      100\n"},
     [](TestBoard&, const std::string& out) {
         size_t from = out.find(kSelect) + kSelect.size();
         EXPECT_LT(out.find("Bytes free", from) - from, 4096u);
         EXPECT_EQ(count(out, std::string(127 - 1, 'f') + "\n"), count(out, "\nfff"));
     }},
    {"DisplaysAndFixedAnswers",
     [](TestBoard&) { i2cInit(0x90, 0x10, 0x3f); },
     "2\r3\r4\r5\r9\r10\r13\r15\r07-04-2031 9:05:00\r14\r16\r0\r",
     {"Ethernet switch", "INTA#", "CPM frequency", "number of FAT copies", "NOT Supported",
      "Use Main Boot Menu", "30 - BOOT Secrets", "Year 2031, Month 7, Day 4, Hour 9 Min 5, Sec",
      "Serial Number:"}},
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << r.name;
}

class Utilities : public stktest::BoardTest, public ::testing::WithParamInterface<Row> {};

TEST_P(Utilities, Transcript) {
    const Row& r = GetParam();
    if (r.setup) r.setup(tb);
    con().send(r.input);
    EXPECT_FALSE(tb.run(BootCodeSecrets).has_value());
    const std::string out = con().output();
    size_t at = 0;
    for (const auto& part : r.transcript) {
        if (part[0] == '!') {
            EXPECT_EQ(out.find(part.substr(1)), std::string::npos) << part;
            continue;
        }
        size_t found = out.find(part, at);
        ASSERT_NE(found, std::string::npos) << part << "\n--- in ---\n" << out.substr(at);
        at = found + part.size();
    }
    if (r.check) r.check(tb, out);
}

INSTANTIATE_TEST_SUITE_P(Options, Utilities, ::testing::ValuesIn(kRows),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
