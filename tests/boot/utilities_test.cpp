// The utilities menu as console transcripts: board set-up, typed input, the
// output (a section of utilities_golden.txt) and what the board holds afterwards.
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "board/i2c.h"
#include "boot/boot.h"
#include "sim/sdram.h"
#include "support/test_board.h"

namespace {

using stktest::TestBoard;

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
    std::function<void(TestBoard&, const std::string&)> check = nullptr;
};

const Row kRows[] = {
    {"UnknownNumbersShowTheMenuAgainAndZeroReturns", nullptr, "18\r?\r0\r"},
    {"DumpsAndStoresOfEachWidth",
     [](TestBoard&) {
         std::string bytes = std::string("0123456789abcdefZ.") + '\0' + '\xff';
         for (size_t i = 0; i < bytes.size(); ++i)
             plat::board().map().write8(0x0c004000 + uint32_t(i), uint8_t(bytes[i]));
         plat::board().map().attachOwned(0xE0000000, 0x100, std::make_unique<Recorder>(), "rec");
     },
     "1\r\rr\rx 100 1\rr c004000 20\rr 7c004000 2\rr f0001000 1\rwl e0000010 12345678\r"
     "ww e0000020 12345678\rwb e0000031 1ff\rwx e0000040 1\rwl 100 a1b2c3d4\rr 100 4\rq\r0\r",
     [](TestBoard&, const std::string&) {
         using C = std::tuple<int, uint32_t, uint32_t>;
         EXPECT_EQ(plat::board().map().find<Recorder>()->cycles,
                   (std::vector<C>{{4, 0x10, 0x12345678}, {2, 0x20, 0x5678}, {1, 0x31, 0xff}}));
     }},
    {"RamTestPasses", nullptr, "6\r0\r"},
    {"RamTestFindsAStuckBit", [](TestBoard&) { sim::sdram().stuckBits(0x0EF00043, 0x08, false); },
     "6\r0\r"},
    // Between the walking tests' locations: only the all-ones pass sees it.
    {"RamTestFindsABitStuckLowBetweenWalkingLocations",
     [](TestBoard&) { sim::sdram().stuckBits(0x0EF0000F, 0x01, false); }, "6\r0\r"},
    {"RamTestFindsAddressAliasing", [](TestBoard&) { sim::sdram().aliasAddressLines(0x400); },
     "6\r0\r"},
    {"FileTestMismatchesEndTheFirstOfTwoIterations",
     [](TestBoard& tb) {
         tb.writeFile("image1", std::string(100, '\x10'));
         tb.disk().corruptReadsOf("tempcode.bin", 0x01);
     },
     "12\r2\r10\r7\r0\r"},
    {"FileTestRunsEveryIteration", [](TestBoard& tb) { tb.writeFile("image1", "0123456789ab"); },
     "12\r2\r5\r3\r0\r",
     [](TestBoard& tb, const std::string&) {
         EXPECT_EQ(tb.readFile("tempcode.bin"), "0123456789ab");
     }},
    {"FileTestEndsOnSizesBelowOneNoMemoryOrNoImage", [](TestBoard&) { plat::failMallocAt(2); },
     "12\r1\r0\r5\r12\r1\r1\r1\r12\r1\r1\r1\r0\r"},
    {"FileTestCannotCreateItsFile",
     [](TestBoard& tb) {
         tb.writeFile("image1", "0123456789ab");
         plat::mkdir("tempcode.bin");  // a folder with a file in it: neither removed nor opened
         tb.writeFile("tempcode.bin/x", "");
     },
     "12\r1\r5\r5\r0\r"},
    {"FileTestWriteFails",
     [](TestBoard& tb) {
         tb.writeFile("image1", "0123456789ab");
         tb.disk().failWriteAt(1);
     },
     "12\r1\r5\r5\r0\r"},
    {"MemoryCommandLineCannotBeRead", [](TestBoard& tb) { tb.con().failReadAt(3); }, "1\r0\r"},
    {"ListingOfAVanishedDirectory",
     [](TestBoard& tb) {
         const std::string host = tb.hostPath("gone");
         plat::mkdir("gone");
         plat::chdir("gone");
         std::filesystem::remove(host);
     },
     "7\r0\r"},
    {"FormatEmptiesTheDiskAndStartsItAsNew", [](TestBoard& tb) { tb.writeFile("stale.cfg", "x"); },
     "11\r0\r",
     [](TestBoard& tb, const std::string&) {
         EXPECT_FALSE(tb.exists("stale.cfg"));
         EXPECT_TRUE(tb.exists("log2.bin"));  // as on a new board: no images, no list
         char cwd[64];
         EXPECT_STREQ(plat::getcwd(cwd, sizeof cwd), "/DskVol/files");
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
     [](TestBoard& tb, const std::string& out) {
         EXPECT_EQ(count(out, "\nsub\n"), 1u);
         EXPECT_EQ(count(out, "a.bin" + std::string(29, ' ') + "10 "), 1u);
         EXPECT_FALSE(tb.exists("b.txt"));
         EXPECT_FALSE(tb.exists("dummy1"));
     }},
    {"LongListingStaysWithinItsText",
     [](TestBoard& tb) {
         for (int i = 0; i < 100; ++i) tb.writeFile(std::string(150, 'f') + std::to_string(i), "x");
     },
     "7\r0\r",
     [](TestBoard&, const std::string& out) {
         size_t from = out.find("(0-17): ") + 8;
         EXPECT_LT(out.find("Bytes free", from) - from, 4096u);
         EXPECT_EQ(count(out, std::string(127 - 1, 'f') + "\n"), count(out, "\nfff"));
     }},
    {"DisplaysAndFixedAnswers", [](TestBoard&) { i2cInit(0x90, 0x10, 0x3f); },
     "2\r3\r4\r5\r9\r10\r13\r15\r07-04-2031 9:05:00\r14\r16\r0\r"},
};

class Utilities : public stktest::BoardTest, public ::testing::WithParamInterface<Row> {};

TEST_P(Utilities, Transcript) {
    const Row& r = GetParam();
    if (r.setup) r.setup(tb);
    con().send(r.input);
    EXPECT_FALSE(tb.run(BootCodeSecrets).has_value());
    const std::string out = con().output();
    EXPECT_TRUE(stktest::matchesGolden(out, "boot/utilities_golden.txt", r.name));
    if (r.check) r.check(tb, out);
}

INSTANTIATE_TEST_SUITE_P(Options, Utilities, ::testing::ValuesIn(kRows),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
