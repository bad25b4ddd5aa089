// The boot flash on the chip model: status reads per MiB programmed through
// the write buffer against word programming, and a 1 MiB boot code update's
// time on the board's (virtual) clock against the part's typical figures,
// with the host time it takes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bootflash/bootflash.h"
#include "bootflash/flash_dev.h"
#include "platform/host/address_map.h"
#include "platform/host/board.h"
#include "platform/platform.h"
#include "sim/board_devices.h"
#include "sim/nor_chip.h"
#include "support/scripted_console.h"

namespace {

constexpr uint32_t kMiB = 1u << 20;
// The part's typical figures from its query table: 2^9 ms per sector erase,
// 2^6 us per buffer program of 64 bytes.
constexpr double kTypicalUpdateSeconds = 8 * 0.512 + (kMiB / 64) * 64e-6;

// A board of the benchmark's own, with the chip attached and the driver started.
struct FlashBoard {
    FlashBoard() {
        dir = (std::filesystem::temp_directory_path() /
               ("stkbench-flash-" + std::to_string(::getpid())))
                  .string();
        std::filesystem::create_directories(dir);
        auto clk = std::make_unique<plat::VirtualClock>();
        clock = clk.get();
        auto con = std::make_unique<plat::ScriptedConsole>(*clk);
        console = con.get();
        plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clk), dir));
        attachBoardDevices(plat::board());
        chip = plat::board().map().find<NorChip>();
        Flash_Init();
    }
    ~FlashBoard() {
        plat::uninstallBoard();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
    plat::VirtualClock* clock;
    plat::ScriptedConsole* console;
    NorChip* chip;
};

std::vector<uint8_t> bootCode() {
    std::vector<uint8_t> code(kMiB);
    std::mt19937 rng(7);
    for (auto& b : code) b = uint8_t(rng());
    return code;
}

// Programs a word as the driver does for an unaligned head.
void wordProgram(uint32_t address, uint16_t word) {
    auto& map = plat::board().map();
    map.write16(kFlashChipBase + 0xAAA, 0xAA);
    map.write16(kFlashChipBase + 0x554, 0x55);
    map.write16(kFlashChipBase + 0xAAA, 0xA0);
    map.write16(address, word);
    spfOpStatusCheck(kFlashOpWordProgram, address, word);
    map.write16(address, 0xF0);
}

// Arg 1: write buffer (flashDevWrite from a buffer boundary); 0: word by word.
void BM_StatusReadsPerMiB(benchmark::State& state) {
    FlashBoard b;
    std::vector<uint8_t> code = bootCode();
    uint64_t reads = 0, virtualUs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Flash_Erase_Boot();
        uint64_t reads0 = b.chip->statusReads(), t0 = b.clock->nowUs();
        state.ResumeTiming();
        if (state.range(0)) {
            flashDevWrite(kBootFlashStart, code.data(), kMiB);
        } else {
            for (uint32_t i = 0; i < kMiB; i += 2)
                wordProgram(kBootFlashStart + i, uint16_t(code[i] << 8 | code[i + 1]));
        }
        reads = b.chip->statusReads() - reads0;
        virtualUs = b.clock->nowUs() - t0;
    }
    state.counters["status_reads"] = double(reads);
    state.counters["virtual_s"] = double(virtualUs) / 1e6;
}
BENCHMARK(BM_StatusReadsPerMiB)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// One erase-write-verify pass of 1 MiB of boot code, as the update runs it.
void BM_BootCodeUpdate1MiB(benchmark::State& state) {
    FlashBoard b;
    std::vector<uint8_t> code = bootCode();
    uint64_t virtualUs = 0;
    int rc = 0;
    for (auto _ : state) {
        uint64_t t0 = b.clock->nowUs();
        rc |= BootRomBootCodeUpdate(code.data(), kMiB);
        virtualUs = b.clock->nowUs() - t0;
        state.PauseTiming();
        b.console->clearOutput();
        state.ResumeTiming();
    }
    if (rc != 0) state.SkipWithError("the update failed");
    state.counters["virtual_s"] = double(virtualUs) / 1e6;
    state.counters["typical_s"] = kTypicalUpdateSeconds;
    state.counters["ratio"] = double(virtualUs) / 1e6 / kTypicalUpdateSeconds;
}
BENCHMARK(BM_BootCodeUpdate1MiB)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
