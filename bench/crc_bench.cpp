// Throughput of the STK CRC-16 against zlib's crc32 over the same 16 MiB
// buffer; the ratio of the two is reported as a counter.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <ctime>
#include <random>
#include <vector>

#include "image/stk_format.h"
#include "image/stkimage.h"

namespace {

constexpr size_t kBufferSize = 16u << 20;

const std::vector<uint8_t>& buffer() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(kBufferSize);
        std::mt19937 rng(42);
        for (auto& b : d) b = static_cast<uint8_t>(rng());
        return d;
    }();
    return data;
}

// Best of several passes, in bytes per second of processor time (the
// machine may be shared, so wall time would measure the neighbours).
template <typename Fn>
double bestRate(Fn fn) {
    double best = 0;
    for (int pass = 0; pass < 9; ++pass) {
        std::clock_t start = std::clock();
        fn();
        double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        if (took <= 0) took = 1e-6;
        double rate = static_cast<double>(kBufferSize) / took;
        if (rate > best) best = rate;
    }
    return best;
}

void BM_StkCrc16(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state) benchmark::DoNotOptimize(stk::stkCrc16(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_StkCrc16)->Unit(benchmark::kMillisecond);

void BM_StkCrc16TableMethod(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state) benchmark::DoNotOptimize(stk::stkCrc16Bytewise(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_StkCrc16TableMethod)->Unit(benchmark::kMillisecond);

void BM_BspapiCalcCrc(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(bspapiCalcCrc(data.data(), static_cast<uint32_t>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_BspapiCalcCrc)->Unit(benchmark::kMillisecond);

void BM_ZlibCrc32(benchmark::State& state) {
    const auto& data = buffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0L, data.data(), static_cast<uInt>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond);

// Both measured in the same run, back to back: STK CRC-16 speed as a
// fraction of zlib crc32 speed.
void BM_StkCrc16VersusZlib(benchmark::State& state) {
    const auto& data = buffer();
    double stkRate = 0, zlibRate = 0;
    for (auto _ : state) {
        stkRate =
            bestRate([&] { benchmark::DoNotOptimize(stk::stkCrc16(data.data(), data.size())); });
        zlibRate = bestRate([&] {
            benchmark::DoNotOptimize(crc32(0L, data.data(), static_cast<uInt>(data.size())));
        });
    }
    state.counters["stk_MBps"] = stkRate / 1e6;
    state.counters["zlib_MBps"] = zlibRate / 1e6;
    state.counters["ratio"] = stkRate / zlibRate;
}
BENCHMARK(BM_StkCrc16VersusZlib)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
