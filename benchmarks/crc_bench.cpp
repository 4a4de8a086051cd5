// The two CRC-16 variants over the sizes they see: one message, the whole firmware image, and
// the information block.
#include <benchmark/benchmark.h>

#include <vector>

#include "allocation_counter.h"
#include "crc16.h"

namespace tavrik {
namespace {

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    return bytes;
}

void BM_Crc16Xmodem(benchmark::State& state) {
    const std::vector<uint8_t> data = pattern(static_cast<size_t>(state.range(0)));
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16Xmodem(data.data(), data.size()));
    }
    allocations.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Crc16Xmodem)->Arg(64)->Arg(128 * 1024);

void BM_Crc16Arc(benchmark::State& state) {
    const std::vector<uint8_t> data = pattern(147);
    benchmark::DoNotOptimize(crc16Arc(data.data(), data.size()));  // builds its table
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16Arc(data.data(), data.size()));
    }
    allocations.report(state);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Crc16Arc);

}  // namespace
}  // namespace tavrik
