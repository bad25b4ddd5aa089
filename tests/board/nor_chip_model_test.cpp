// The NOR chip model on its own, in bus cycles and the datasheet's terms: the
// query table and identification words against the part's values, programming
// that only clears bits, the status bits of a busy chip (DQ7 data polling, DQ6
// toggle, DQ5 time limit, DQ2 erasing sector, DQ1 write-buffer abort), commands
// ignored while busy, and a power cut in the middle of an operation.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/host/board.h"
#include "sim/nor_chip.h"
#include "support/test_board.h"

namespace {

constexpr uint32_t kUnlock1 = 0x555, kUnlock2 = 0x2AA;  // word addresses
constexpr uint32_t kSectorWords = NorChip::kSectorSize / 2;
constexpr uint16_t DQ7 = 0x80, DQ6 = 0x40, DQ5 = 0x20, DQ2 = 0x04, DQ1 = 0x02;

// The datasheet's words: the query table, or the identification words ("id" lines).
std::map<uint32_t, uint16_t> datasheet(bool ids) {
    std::map<uint32_t, uint16_t> words;
    std::istringstream in(stktest::readHostFile(STK_SOURCE_DIR "/tests/board/nor_cfi_table.txt"));
    for (std::string line; std::getline(in, line);) {
        unsigned word, value;
        if (std::sscanf(line.c_str(), ids ? "id 0x%x: 0x%x" : "0x%x: 0x%x", &word, &value) == 2)
            words[word] = uint16_t(value);
    }
    return words;
}
// The longest an operation may take, in microseconds: its typical time 2^n
// units (query word `typical`) times its maximum factor 2^m (word typical + 4).
uint64_t maxUs(uint32_t typical, uint64_t unitUs) {
    auto table = datasheet(false);
    return (unitUs << table[typical]) << table[typical + 4];
}
const uint64_t kProgramUs = maxUs(0x20, 1), kEraseUs = maxUs(0x21, 1000);

using Cycles = std::vector<std::pair<uint32_t, uint16_t>>;  // word address, value

class NorChipModel : public ::testing::Test {
  protected:
    NorChipModel() { powerOn(); }
    ~NorChipModel() override { stktest::removeTree(dir_); }
    // The old chip goes before the new one reads the board file, as at a power-cycle.
    void powerOn() {
        chip_.reset();
        chip_ = std::make_unique<NorChip>(clock_, dir_ + "/norflash.bin");
    }
    void write(uint32_t word, uint16_t value) { EXPECT_TRUE(chip_->write(2 * word, 2, value)); }
    void write(const Cycles& cycles) {
        for (auto [word, value] : cycles) write(word, value);
    }
    uint16_t read(uint32_t word) {
        uint32_t value = 0;
        EXPECT_TRUE(chip_->read(2 * word, 2, &value));
        return uint16_t(value);
    }
    // DQ6 toggles between two reads while an operation runs (or after an abort).
    bool busy(uint32_t word) { return (read(word) ^ read(word)) & DQ6; }
    void command(uint16_t code) { write({{kUnlock1, 0xAA}, {kUnlock2, 0x55}, {kUnlock1, code}}); }
    void startProgram(uint32_t word, uint16_t value) {
        command(0xA0);
        write(word, value);
    }
    void startErase(uint32_t sector) {
        command(0x80);
        write({{kUnlock1, 0xAA}, {kUnlock2, 0x55}, {sector * kSectorWords, 0x30}});
    }
    // A write-buffer program of `data` from `first` (within one 32-word page).
    void startBuffer(uint32_t first, const std::vector<uint16_t>& data) {
        write({{kUnlock1, 0xAA},
               {kUnlock2, 0x55},
               {first, 0x25},
               {first, uint16_t(data.size() - 1)}});
        for (size_t i = 0; i < data.size(); ++i) write(first + uint32_t(i), data[i]);
        write(first, 0x29);
    }
    void settle(uint64_t us) { clock_.sleepUs(us); }
    std::string dir_ = stktest::makeTempDir("norchip-");
    plat::VirtualClock clock_;
    std::unique_ptr<NorChip> chip_;
};

TEST_F(NorChipModel, QueryTableAndIdentificationWordsAreTheDatasheets) {
    write(0x55, 0x98);
    std::map<uint32_t, uint16_t> query = datasheet(false), ids = datasheet(true);
    for (uint32_t word = 0x10; word <= 0x50; ++word)
        EXPECT_EQ(read(word), query[word]) << std::hex << word;
    for (auto [word, value] : ids) EXPECT_EQ(read(word), value) << std::hex << word;
    write(0, 0xF0);
    EXPECT_EQ(read(0x10), 0xFFFF);  // array data again
    command(0x90);                  // autoselect, answered at any sector's offsets
    for (auto [word, value] : ids) EXPECT_EQ(read(3 * kSectorWords + word), value) << word;
    write(0, 0xF0);
    EXPECT_EQ(read(0x01), 0xFFFF);
    write(0x56, 0x98);  // the query command counts only at its address
    EXPECT_EQ(read(0x10), 0xFFFF);
}

// Programming only clears bits, and a finished operation has changed the
// cells whether or not anything reads the chip before the power goes.
TEST_F(NorChipModel, ProgrammingOnlyClearsBits) {
    for (uint16_t value : {0xF0F0, 0x0FFF, 0xFFFF}) {
        startProgram(0x100, value);
        settle(kProgramUs);
    }
    startBuffer(0x120, {0x1234, 0xFF00});
    settle(kProgramUs);
    startBuffer(0x120, {0x0F0F, 0x00FF});
    settle(kProgramUs);
    powerOn();
    EXPECT_EQ(read(0x100), 0x00F0);
    EXPECT_EQ(read(0x120), 0x0204);
    EXPECT_EQ(read(0x121), 0x0000);
    EXPECT_EQ(read(0x122), 0xFFFF);
}

TEST_F(NorChipModel, DataPollingShowsTheComplementOfBit7WhileProgramming) {
    for (uint16_t data : {0x1234, 0x00FF}) {  // bit 7 clear, then set
        SCOPED_TRACE(data);
        const uint32_t word = 0x200 + data % 16;
        startProgram(word, data);
        EXPECT_EQ(read(word) & DQ7, ~data & DQ7);
        EXPECT_TRUE(busy(word));
        EXPECT_EQ(read(word) & DQ7, ~data & DQ7);
        settle(kProgramUs);
        EXPECT_EQ(read(word), data);
    }
    startBuffer(0x240, {0x0000, 0x0080});  // the last word loaded is polled
    EXPECT_EQ(read(0x241) & DQ7, 0);
    EXPECT_TRUE(busy(0x241));
}

TEST_F(NorChipModel, EraseTogglesDq2OnlyInTheErasingSector) {
    const uint32_t inside = 5 * kSectorWords + 7, outside = 6 * kSectorWords;
    startProgram(inside, 0x0000);
    settle(kProgramUs);
    startErase(5);
    uint16_t first = read(inside), second = read(inside);
    EXPECT_EQ(first & DQ7, 0);  // DQ7 reads 0 while erasing
    EXPECT_EQ((first ^ second) & (DQ6 | DQ2), DQ6 | DQ2);
    first = read(outside);
    second = read(outside);
    EXPECT_EQ((first ^ second) & (DQ6 | DQ2), DQ6);
    settle(kEraseUs);
    powerOn();
    EXPECT_EQ(read(inside), 0xFFFF);
}

TEST_F(NorChipModel, InjectedTimeOutShowsDq5AndChangesNothing) {
    const uint32_t word = 9 * kSectorWords;
    startProgram(word, 0x1234);
    settle(kProgramUs);
    const std::pair<NorChip::Op, uint64_t> ops[] = {{NorChip::Op::Program, maxUs(0x1F, 1)},
                                                    {NorChip::Op::Erase, kEraseUs}};
    for (auto [op, limitUs] : ops) {
        SCOPED_TRACE(op == NorChip::Op::Erase ? "erase" : "program");
        chip_->failNext(op);
        op == NorChip::Op::Erase ? startErase(9) : startProgram(word, 0x0000);
        EXPECT_EQ(read(word) & DQ5, 0);
        write(word, 0xF0);  // a reset is not heard before the time limit
        settle(limitUs);
        const uint16_t status = read(word);
        EXPECT_EQ(status & DQ5, DQ5);
        EXPECT_EQ(status & DQ7, op == NorChip::Op::Erase ? 0 : DQ7);
        EXPECT_TRUE(busy(word));
        write(word, 0xF0);
        EXPECT_EQ(read(word), 0x1234);
    }
}

TEST_F(NorChipModel, WriteBufferAbortsUntilTheAbortReset) {
    const uint32_t s = 12 * kSectorWords;
    const struct {
        const char* name;
        Cycles cycles;  // after the two unlock cycles
        int lastLoaded = -1;
    } cases[] = {
        {"CountBeyondTheBuffer", {{s, 0x25}, {s, 32}}},
        {"LoadOutsideThePage", {{s, 0x25}, {s, 1}, {s + 2, 0x1111}, {s + 35, 0x2222}}, 0x1111},
        {"LoadInAnotherSector", {{s, 0x25}, {s, 0}, {s + kSectorWords, 0x00FF}}},
        {"NoConfirm", {{s, 0x25}, {s, 0}, {s + 4, 0x0080}, {s, 0x30}}, 0x0080},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write({{kUnlock1, 0xAA}, {kUnlock2, 0x55}});
        write(c.cycles);
        EXPECT_EQ(read(s) & DQ1, DQ1);
        if (c.lastLoaded >= 0) {
            EXPECT_EQ(read(s) & DQ7, ~c.lastLoaded & DQ7);
        }
        EXPECT_TRUE(busy(s));
        write(s, 0xF0);  // a plain reset does not end the abort
        EXPECT_EQ(read(s) & DQ1, DQ1);
        write({{kUnlock1, 0xAA}, {kUnlock2, 0x55}, {kUnlock1, 0xF0}});
        for (auto [word, value] : c.cycles) EXPECT_EQ(read(word), 0xFFFF) << word;
    }
    startBuffer(s + 32, {0x5A5A});  // the buffer works again
    settle(kProgramUs);
    EXPECT_EQ(read(s + 32), 0x5A5A);
}

TEST_F(NorChipModel, CommandsAreIgnoredWhileBusy) {
    startErase(20);
    startProgram(21 * kSectorWords, 0x0000);
    startErase(22);
    write(0x55, 0x98);
    write(0, 0xF0);
    EXPECT_TRUE(busy(20 * kSectorWords));
    settle(kEraseUs);
    EXPECT_EQ(read(21 * kSectorWords), 0xFFFF);
    EXPECT_EQ(read(0x10), 0xFFFF);  // no query mode either
    EXPECT_EQ(chip_->erases(20), 1u);
    EXPECT_EQ(chip_->erases(22), 0u);
}

// Cut short, an operation leaves every cell between its old and its new state.
TEST_F(NorChipModel, PowerCutMidProgramAndMidErase) {
    const uint32_t page = 30 * kSectorWords, erased = 31 * kSectorWords;
    startBuffer(page, std::vector<uint16_t>(32, 0xF0F0));
    settle(kProgramUs);
    startBuffer(erased, std::vector<uint16_t>(32, 0x00FF));
    settle(kProgramUs);
    chip_->cutPowerAfter(38);  // the first status read after the 37 cycles of the load
    EXPECT_THROW(startBuffer(page, std::vector<uint16_t>(32, 0x3C3C)); read(page), plat::BoardStop);
    chip_->cutPowerAfter(7);  // the first status read after the erase command
    EXPECT_THROW(startErase(31); read(erased), plat::BoardStop);
    powerOn();
    int programmedWhole = 0, erasedWhole = 0;
    for (uint32_t i = 0; i < 32; ++i) {
        const uint16_t programmed = read(page + i), wiped = read(erased + i);
        EXPECT_EQ(programmed & 0x3030, 0x3030) << i;  // the bits to stay set did
        EXPECT_EQ(programmed & ~0xF0F0, 0) << i;      // no cleared bit came back
        EXPECT_EQ(wiped & 0x00FF, 0x00FF) << i;       // an erase only sets bits
        programmedWhole += programmed == 0x3030;
        erasedWhole += wiped == 0xFFFF;
    }
    EXPECT_LT(programmedWhole, 32);
    EXPECT_LT(erasedWhole, 32);
    EXPECT_EQ(read(page + 32), 0xFFFF);
}

}  // namespace

// Array reads in one block, and a processor polling an operation to its end,
// cost the board what every word read and every poll would (a traced chip
// works through each cycle): the same data, bus cycles, status reads and time.
TEST_F(NorChipModel, BlockReadsAndPollingKeepTheBoardsTime) {
    plat::VirtualClock tracedClock;
    NorChip traced(tracedClock, dir_ + "/traced.bin");
    traced.traceCycles(true);
    std::string data[2];
    for (NorChip* chip : {chip_.get(), &traced}) {
        for (auto [word, value] :
             Cycles{{kUnlock1, 0xAA}, {kUnlock2, 0x55}, {kUnlock1, 0xA0}, {0x1002, 0x0000}})
            chip->write(2 * word, 2, value);
        uint32_t status = 1;
        while (status != 0x0000) chip->read(0x2004, 2, &status);
        std::string& bytes = data[chip == &traced];
        bytes.assign(64, '\0');
        EXPECT_EQ(chip->readBlock(0x2000, bytes.data(), 64), chip != &traced);
        for (uint32_t i = 0; chip == &traced && i < 64; i += 2) {
            chip->read(0x2000 + i, 2, &status);
            bytes[i] = char(status >> 8), bytes[i + 1] = char(status);
        }
    }
    EXPECT_EQ(data[0], data[1]);
    EXPECT_EQ(data[0].substr(2, 4), std::string("\xff\xff\0\0", 4));
    EXPECT_EQ(chip_->busCycles(), traced.busCycles());
    EXPECT_EQ(chip_->statusReads(), traced.statusReads());
    EXPECT_EQ(clock_.nowUs(), tracedClock.nowUs());
    // Stuck bits, and status instead of data, are read word by word.
    std::string bytes(8, '\0');
    chip_->stuckBits(0x2044, 2, 0x0100, true);
    EXPECT_FALSE(chip_->readBlock(0x2040, bytes.data(), 8));
    startErase(1);
    EXPECT_FALSE(chip_->readBlock(0x20000, bytes.data(), 8));
}
