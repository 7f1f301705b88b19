// Throughput of the mirror transform beside a memcpy of the same size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "scramble/scramble.h"

namespace {

constexpr std::int64_t kSmall = 64 << 10;
constexpr std::int64_t kLarge = 64 << 20;

void BM_Scramble(benchmark::State& state) {
    WavInfo info;
    info.bitsPerSample = static_cast<std::uint16_t>(state.range(0));
    info.channels = static_cast<std::uint16_t>(state.range(1));
    info.dataLength = static_cast<std::uint32_t>(state.range(2));
    info.data = wavBufferAllocate(info.dataLength);
    for (std::uint32_t i = 0; i < info.dataLength; ++i) info.data[i] = static_cast<std::uint8_t>(i * 7);
    for (auto _ : state) {
        if (info.bitsPerSample == 8) {
            wavScramble8(info);
        } else {
            wavScramble16(info);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(2));
}

void BM_Memcpy(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> from(size, 1), to(size, 2);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_Scramble)
    ->ArgNames({"bits", "channels", "bytes"})
    ->ArgsProduct({{8, 16}, {1, 2, 6}, {kSmall, kLarge}});
BENCHMARK(BM_Memcpy)->ArgNames({"bytes"})->Arg(kSmall)->Arg(kLarge);

BENCHMARK_MAIN();
