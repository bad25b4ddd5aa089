// The launcher's two decompression paths against one-shot decoding of the
// same streams by the libraries themselves, and the peak memory of a whole
// launch, on 16 MiB of firmware-like data. Ratios are counters of one run.
#include <benchmark/benchmark.h>
#include <lzma.h>
#include <malloc.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "boot/boot.h"
#include "bootflash/bootflash.h"
#include "image/dim.h"
#include "image/stk_format.h"
#include "launch/launch.h"
#include "launch/launch_paths.h"
#include "platform/host/board.h"
#include "platform/platform.h"
#include "sim/board_devices.h"
#include "sim/sdram.h"
#include "support/scripted_console.h"

namespace {

constexpr size_t kFirmwareSize = 16u << 20;
constexpr uint32_t kLoad = 0x00010000;

// Code words of a few opcodes with random registers and small offsets, string
// tables, zero-filled and pointer tables, and already compressed resources.
std::vector<uint8_t> makeFirmware() {
    std::mt19937 rng(8541);
    std::vector<uint8_t> fw;
    fw.reserve(kFirmwareSize);
    static const uint32_t opcodes[] = {0x38000000, 0x3C000000, 0x80000000, 0x90000000,
                                       0x7C000378, 0x48000001, 0x4E800020, 0x41820000,
                                       0x2C000000, 0x60000000, 0x7C0802A6, 0x94210000};
    // Compiled code repeats itself: most words come from a vocabulary of
    // common instructions, used with a skewed frequency.
    std::vector<uint32_t> common(4096);
    for (auto& w : common)
        w = opcodes[rng() % 12] | (rng() % 32) << 21 | (rng() % 32) << 16 | (rng() % 64) * 4;
    static const char* words[] = {"port",  "vlan",  "link",     "error",  "config",
                                  "stack", "trunk", "%s: %d\n", "failed", "table",
                                  "init",  "snmp",  "mac"};
    auto put32 = [&](uint32_t v) {
        for (int i = 3; i >= 0; --i) fw.push_back(uint8_t(v >> (8 * i)));
    };
    while (fw.size() < kFirmwareSize) {
        size_t block = 4096 + rng() % 60000;
        size_t end = std::min(kFirmwareSize, fw.size() + block);
        unsigned kind = rng() % 20;
        if (kind < 11) {
            while (fw.size() + 4 <= end) {
                uint32_t r = rng();
                if (r % 8 == 0)
                    put32(opcodes[rng() % 12] | (rng() % 32) << 21 | (rng() % 65536));
                else
                    put32(common[(r >> 8) % (1u << (4 + (r >> 4) % 9))]);
            }
        } else if (kind < 15) {
            while (fw.size() < end) {
                const char* w = words[rng() % 13];
                fw.insert(fw.end(), w, w + std::strlen(w));
                fw.push_back(rng() % 5 ? ' ' : 0);
            }
        } else if (kind < 19) {
            uint32_t ptr = 0x00100000 + uint32_t(rng() % 0x10000) * 16;
            while (fw.size() + 4 <= end) put32(rng() % 3 ? 0 : (ptr += 4 * (rng() % 8)));
        } else {
            while (fw.size() < end) fw.push_back(uint8_t(rng()));
        }
        fw.resize(std::min(fw.size(), end));
    }
    fw.resize(kFirmwareSize);
    return fw;
}

const std::vector<uint8_t>& firmware() {
    static const std::vector<uint8_t> fw = makeFirmware();
    return fw;
}

std::vector<uint8_t> zlibStream() {
    const auto& fw = firmware();
    uLongf len = compressBound(uLong(fw.size()));
    std::vector<uint8_t> out(len);
    compress2(out.data(), &len, fw.data(), uLong(fw.size()), 9);
    out.resize(len);
    return out;
}

std::vector<uint8_t> lzmaStream() {
    const auto& fw = firmware();
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 6);
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&strm, &opt) != LZMA_OK) std::abort();
    std::vector<uint8_t> out(fw.size() + fw.size() / 2 + 65536);
    strm.next_in = fw.data();
    strm.avail_in = fw.size();
    strm.next_out = out.data();
    strm.avail_out = out.size();
    if (lzma_code(&strm, LZMA_FINISH) != LZMA_STREAM_END) std::abort();
    out.resize(out.size() - strm.avail_out);
    lzma_end(&strm);
    for (int i = 0; i < 8; ++i) out[5 + i] = uint8_t(uint64_t(fw.size()) >> (8 * i));
    return out;
}

const std::vector<uint8_t>& stream(bool zlib) {
    static const std::vector<uint8_t> z = zlibStream();
    static const std::vector<uint8_t> l = lzmaStream();
    return zlib ? z : l;
}

// A board of the benchmark's own: virtual clock (the launcher's pauses cost
// nothing), a console that only records, and a formatted flash disk.
struct BenchBoard {
    BenchBoard() {
        dir = (std::filesystem::temp_directory_path() /
               ("stkbench-launch-" + std::to_string(::getpid())))
                  .string();
        auto clock = std::make_unique<plat::VirtualClock>();
        auto con = std::make_unique<plat::ScriptedConsole>(*clock);
        plat::installBoard(std::make_unique<plat::Board>(std::move(con), std::move(clock), dir));
        attachBoardDevices(plat::board());
        Flash_Init();
        plat::tffsDevFormat(0, nullptr);
        plat::usrTffsConfig(0, 0, "/DskVol/");
        plat::mkdir("/DskVol/files");
        plat::chdir("/DskVol/files");
    }
    ~BenchBoard() {
        plat::uninstallBoard();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};

template <typename Fn>
double bestSeconds(int passes, Fn fn) {
    double best = 1e30;
    for (int i = 0; i < passes; ++i) {
        std::clock_t start = std::clock();
        fn();
        double took = double(std::clock() - start) / CLOCKS_PER_SEC;
        best = std::min(best, took);
    }
    return best;
}

void checkOutput(benchmark::State& state, const uint8_t* out, size_t n) {
    if (n != firmware().size() || std::memcmp(out, firmware().data(), n) != 0)
        state.SkipWithError("decoded firmware differs");
}

void BM_ZlibLauncherVsUncompress(benchmark::State& state) {
    BenchBoard board;
    const auto& z = stream(true);
    std::vector<uint8_t> ref(firmware().size());
    double launcher = 0, oneShot = 0;
    for (auto _ : state) {
        launcher = bestSeconds(5, [&] {
            uint32_t produced = 0;
            if (!launch::inflateComponent(z.data(), uint32_t(z.size()), kLoad, &produced))
                state.SkipWithError("launcher failed");
            checkOutput(state, sim::sdram().at(kLoad, produced), produced);
        });
        oneShot = bestSeconds(5, [&] {
            uLongf len = uLongf(ref.size());
            if (uncompress(ref.data(), &len, z.data(), uLong(z.size())) != Z_OK)
                state.SkipWithError("uncompress failed");
            checkOutput(state, ref.data(), len);
        });
    }
    state.counters["launcher_ms"] = launcher * 1e3;
    state.counters["uncompress_ms"] = oneShot * 1e3;
    state.counters["ratio"] = launcher / oneShot;
    state.counters["stream_MiB"] = double(z.size()) / (1 << 20);
}
BENCHMARK(BM_ZlibLauncherVsUncompress)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_LzmaLauncherVsOneShot(benchmark::State& state) {
    BenchBoard board;
    const auto& l = stream(false);
    std::vector<uint8_t> ref(firmware().size());
    double launcher = 0, oneShot = 0;
    for (auto _ : state) {
        launcher = bestSeconds(3, [&] {
            uint32_t produced = 0;
            if (!launch::unlzmaComponent(l.data(), uint32_t(l.size()), kLoad, &produced))
                state.SkipWithError("launcher failed");
            checkOutput(state, sim::sdram().at(kLoad, produced), produced);
        });
        oneShot = bestSeconds(3, [&] {
            lzma_stream strm = LZMA_STREAM_INIT;
            if (lzma_alone_decoder(&strm, UINT64_MAX) != LZMA_OK)
                state.SkipWithError("liblzma set-up failed");
            strm.next_in = l.data();
            strm.avail_in = l.size();
            strm.next_out = ref.data();
            strm.avail_out = ref.size();
            lzma_ret r = lzma_code(&strm, LZMA_FINISH);
            if (r != LZMA_STREAM_END) state.SkipWithError("liblzma failed");
            checkOutput(state, ref.data(), ref.size() - strm.avail_out);
            lzma_end(&strm);
        });
    }
    state.counters["launcher_ms"] = launcher * 1e3;
    state.counters["liblzma_ms"] = oneShot * 1e3;
    state.counters["ratio"] = launcher / oneShot;
    state.counters["stream_MiB"] = double(l.size()) / (1 << 20);
}
BENCHMARK(BM_LzmaLauncherVsOneShot)->Iterations(1)->Unit(benchmark::kMillisecond);

// Resident memory of the process in KiB.
long residentKiB() {
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Samples the resident memory while `fn` runs; the highest value seen.
template <typename Fn>
long peakResidentKiB(Fn fn) {
    std::atomic<bool> done{false};
    std::atomic<long> peak{residentKiB()};
    std::thread sampler([&] {
        while (!done.load()) {
            long now = residentKiB();
            if (now > peak.load()) peak.store(now);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    fn();
    long now = residentKiB();
    done.store(true);
    sampler.join();
    return std::max(peak.load(), now);
}

// Peak resident memory of a whole launch (file read, decompression, hand-off)
// above what the process held before it, on a fresh board each time.
void BM_LaunchPeakMemory(benchmark::State& state) {
    bool zlib = state.range(0) == 1;
    const auto& s = stream(zlib);
    stk::OprHeader h;
    h.targetDevice = kTargetDevice;
    h.numComponents = 1;
    h.components[0].size = uint32_t(s.size());
    h.components[0].loadAddress = kLoad;
    h.components[0].compressionFlag = zlib ? 1 : 2;
    h.size = uint32_t(stk::kOprHeaderSize + s.size());
    std::vector<uint8_t> image(h.size);
    stk::encodeOprHeader(h, image.data());
    std::memcpy(image.data() + stk::kOprHeaderSize, s.data(), s.size());
    stk::fileCrcStore(image.data(), image.size());

    // A fixed threshold: every large block is a fresh mapping, so freed
    // blocks of earlier benchmarks cannot hide new memory.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    malloc_trim(0);
    double peakMiB = 0;
    for (auto _ : state) {
        BenchBoard board;
        {
            std::ofstream out(board.dir + "/DskVol/files/image1", std::ios::binary);
            out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        }
        std::strcpy(activeImageFileName, "image1");
        long before = residentKiB();
        bool handedOff = false;
        long peak = peakResidentKiB([&] {
            try {
                start_operational_code(1);
            } catch (const plat::BoardStop& stop) {
                handedOff = stop.kind == plat::BoardStop::Kind::Handoff;
            }
        });
        if (!handedOff) state.SkipWithError("launch failed");
        peakMiB = double(peak - before) / 1024;
    }
    double budget = 16 + double(kFirmwareSize) / (1 << 20) + 16;
    state.counters["peak_MiB"] = peakMiB;
    state.counters["budget_MiB"] = budget;
    state.counters["image_MiB"] = double(image.size()) / (1 << 20);
}
BENCHMARK(BM_LaunchPeakMemory)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
