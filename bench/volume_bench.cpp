// The flash disk as a flash volume (FAT on the translation layer in the NOR
// chip model) against the folder volume: a 15 MiB image stored and read back
// through the file calls (host time, ratio to the folder volume measured in
// the same run), the store's time on the board's clock against the chip's
// own limit (its typical buffered-program rate), and the wear of the units
// after 100 stores of an image by the load path.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bspapi/bspapi.h"
#include "fs/flash_volume.h"
#include "osapi/osapi.h"
#include "platform/host/address_map.h"
#include "platform/host/board.h"
#include "platform/platform.h"
#include "sim/board_devices.h"
#include "sim/nor_chip.h"
#include "support/board_setup.h"
#include "support/pty_harness.h"
#include "support/ram_mtd.h"
#include "support/scripted_console.h"

namespace {

constexpr uint32_t kImageBytes = 15u << 20;
// The window speed the flash driver gives the translation layer's socket:
// one bus cycle of the chip on the board.
constexpr uint32_t kBoardBusCycleNs = 120;
// The chip's typical buffered program: 64 bytes in 2^6 us (query word 0x20).
constexpr double kChipBytesPerUs = 64.0 / 64.0;

// A board of the benchmark's own whose flash disk is the folder or the flash
// volume, formatted, in "/DskVol/files".
struct VolumeBoard {
    explicit VolumeBoard(bool flash, uint32_t busCycleNs = kBoardBusCycleNs) {
        dir = (std::filesystem::temp_directory_path() /
               ("stkbench-volume-" + std::to_string(::getpid())))
                  .string();
        std::filesystem::create_directories(dir);
        auto clk = std::make_unique<plat::VirtualClock>();
        clock = clk.get();
        auto con = std::make_unique<plat::ScriptedConsole>(*clk);
        plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clk), dir));
        attachBoardDevices(plat::board());
        chip = plat::board().map().find<NorChip>();
        chip->setBusCycleNs(busCycleNs);
        if (flash) plat::board().useFlashDiskDriver(fs::makeFlashVolumeDriver());
        ok = stktest::formatAndEnterFiles();
    }
    ~VolumeBoard() {
        plat::uninstallBoard();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
    plat::VirtualClock* clock;
    NorChip* chip;
    bool ok = false;
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Stores the image as a file and reads it back; false when either fails or
// the bytes differ.
bool storeAndReadBack(const std::string& image, double* storeSeconds, double* readSeconds) {
    auto t0 = std::chrono::steady_clock::now();
    bool ok = osapiFsWrite("image1", image.data(), uint32_t(image.size())) == 0;
    *storeSeconds = seconds(t0);
    std::string back(image.size(), '\0');
    t0 = std::chrono::steady_clock::now();
    ok = ok && osapiFsRead("image1", back.data(), uint32_t(back.size())) == 0;
    *readSeconds = seconds(t0);
    return ok && back == image;
}

// Host time of the store and read-back on the flash volume over the same on
// the folder volume (each the best of three boards), and the store's board
// time over the chip's limit.
void BM_Store15MiBFlashAgainstFolder(benchmark::State& state) {
    const std::string image = stktest::randomBytes(kImageBytes, 15);
    double folder = 1e9, flash = 1e9, store = 0, read = 0, virtualS = 0;
    bool ok = true;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            {
                VolumeBoard b(false);
                ok = ok && b.ok && storeAndReadBack(image, &store, &read);
                folder = std::min(folder, store + read);
            }
            VolumeBoard b(true);
            uint64_t t0 = b.clock->nowUs(), cycles0 = b.chip->busCycles();
            uint64_t polls0 = b.chip->statusReads();
            ok = ok && b.ok && storeAndReadBack(image, &store, &read);
            flash = std::min(flash, store + read);
            virtualS = double(b.clock->nowUs() - t0) / 1e6;
            state.counters["bus_cycles"] = double(b.chip->busCycles() - cycles0);
            state.counters["status_reads"] = double(b.chip->statusReads() - polls0);
        }
    }
    if (!ok) state.SkipWithError("a store or its read-back failed");
    double chipLimitS = kImageBytes / kChipBytesPerUs / 1e6;
    state.counters["folder_s"] = folder;
    state.counters["flash_s"] = flash;
    state.counters["wall_ratio"] = flash / folder;
    state.counters["virtual_store_s"] = virtualS;
    state.counters["chip_limit_s"] = chipLimitS;
    state.counters["virtual_ratio"] = virtualS / chipLimitS;
}
BENCHMARK(BM_Store15MiBFlashAgainstFolder)->Iterations(1)->Unit(benchmark::kMillisecond);

// Erase counts of the board's 240 units of 128 KiB after 100 stores of an
// image by the load path (received as xcode.bin, copied over the active
// image, xcode.bin deleted) beside a backup image and the small files that
// never change. The units are an in-memory flash: only the counts matter.
void BM_WearAfter100Stores(benchmark::State& state) {
    const uint32_t imageBytes = uint32_t(state.range(0)) << 20;
    double highest = 0, mean = 0;
    bool ok = true;
    for (auto _ : state) {
        VolumeBoard b(false);
        RamMtd mtd(128 << 10, 240);
        mtd.install();
        plat::board().useFlashDiskDriver(fs::makeFlashVolumeDriver());
        ok = plat::tffsDevFormat(0, nullptr) == 0 && plat::usrTffsConfig(0, 0, "/DskVol/") == 0 &&
             plat::mkdir("/DskVol/files") == 0 && plat::chdir("/DskVol/files") == 0 &&
             osapiFsWrite("image2", stktest::randomBytes(imageBytes, 2).data(), imageBytes) == 0 &&
             osapiFsWrite("diag_config.cfg", "\0\0\0\2", 4) == 0;
        for (int store = 0; store < 100 && ok; ++store) {
            std::string image = stktest::randomBytes(imageBytes, uint32_t(100 + store));
            ok = osapiFsWrite("xcode.bin", image.data(), imageBytes) == 0 &&
                 bspapiImageAdd("xcode.bin", "image1") == 0 && osapiFsDeleteFile("xcode.bin") == 0;
        }
        std::vector<uint32_t> counts;
        for (uint32_t u = 0; u < 240; ++u) counts.push_back(mtd.erases(u));
        highest = *std::max_element(counts.begin(), counts.end());
        mean = std::accumulate(counts.begin(), counts.end(), 0.0) / double(counts.size());
    }
    if (!ok) state.SkipWithError("a store failed");
    state.counters["highest_erases"] = highest;
    state.counters["mean_erases"] = mean;
    state.counters["highest_to_mean"] = highest / mean;
}
BENCHMARK(BM_WearAfter100Stores)->Arg(6)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
