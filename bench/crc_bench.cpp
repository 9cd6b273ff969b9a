// SPDX-License-Identifier: MIT
// Throughput of the component checksum on 64 MiB, against zlib's crc32 (the same CRC,
// complemented), in the same run.
#include "crc.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <random>
#include <vector>
#include <zlib.h>

namespace {

constexpr size_t kSize = 64u << 20;

const std::vector<uint8_t>& data() {
    static const std::vector<uint8_t> d = [] {
        std::vector<uint8_t> v(kSize);
        std::mt19937 rng(1);
        for (auto& b : v)
            b = uint8_t(rng());
        return v;
    }();
    return d;
}

void BM_gen_crc(benchmark::State& state) {
    const auto& d = data();
    for (auto _ : state)
        benchmark::DoNotOptimize(gen_crc(d.data(), uint32_t(d.size()), 0xFFFFFFFFu));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}

void BM_zlib_crc32(benchmark::State& state) {
    const auto& d = data();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, d.data(), uInt(d.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}

// Both in turn in every iteration, so that a busy machine slows both alike: the ratio
// of the two rates in the same run.
void BM_gen_crc_against_zlib(benchmark::State& state) {
    const auto& d = data();
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(gen_crc(d.data(), uint32_t(d.size()), 0xFFFFFFFFu));
        auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(crc32(0, d.data(), uInt(d.size())));
        auto t2 = std::chrono::steady_clock::now();
        ours += std::chrono::duration<double>(t1 - t0).count();
        theirs += std::chrono::duration<double>(t2 - t1).count();
    }
    const double bytes = double(state.iterations()) * double(kSize);
    state.counters["gen_crc_GBps"] = bytes / ours / 1e9;
    state.counters["zlib_GBps"] = bytes / theirs / 1e9;
    state.counters["ratio"] = theirs / ours;
}

BENCHMARK(BM_gen_crc)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlib_crc32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_gen_crc_against_zlib)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
