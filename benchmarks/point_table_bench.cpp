// The point table of a large module: its build at open, and the encode and decode of the full
// state image in the chunks the device exchanges it in, in both layouts.
#include <benchmark/benchmark.h>

#include <vector>

#include "allocation_counter.h"
#include "tavrik_message.h"
#include "tavrik_point_table.h"

namespace tavrik {
namespace {

// 128 entries of every kind of point: one-bit inputs, outputs and relays, buttons, alarms,
// LEDs, PoE enable and reset, and the 16-bit PoE words, so the image spans several chunks.
std::vector<uint8_t> largeConfiguration() {
    const uint8_t pattern[16] = {0, 0, 0, 0, 1, 1, 65, 65, 2, 3, 4, 6, 7, 8, 9, 10};
    std::vector<uint8_t> config;
    for (size_t i = 0; i < kMaxConfigEntries; ++i) {
        config.push_back(pattern[i % 16]);
    }
    return config;
}

TavrikPointTable largeTable(bool extended) {
    const std::vector<uint8_t> config = largeConfiguration();
    TavrikPointTable table;
    table.setDeviceFlags(extended ? kFlagExtendedLayout : 0);
    table.build(config.data(), config.size());
    return table;
}

struct Layout {
    size_t area;  // where the chunk sits in the message
    uint32_t chunk;
    uint32_t step;
};

Layout layoutOf(bool extended) {
    return extended ? Layout{msg::ExtendedImage, msg::ExtendedChunk, msg::ExtendedStep}
                    : Layout{msg::BasicImage, msg::BasicChunk, msg::BasicStep};
}

// Into a new table each time, as when a device is opened.
void BM_BuildPointTable(benchmark::State& state) {
    const std::vector<uint8_t> config = largeConfiguration();
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        TavrikPointTable table;
        table.build(config.data(), config.size());
        benchmark::DoNotOptimize(table);
    }
    allocations.report(state);
    state.counters["image_bytes"] = largeTable(false).imageLength();
}
BENCHMARK(BM_BuildPointTable);

// Arg: 1 for the extended layout, 0 for the basic one.
void BM_EncodeImage(benchmark::State& state) {
    const bool extended = state.range(0) != 0;
    TavrikPointTable table = largeTable(extended);
    const Layout layout = layoutOf(extended);
    TavrikMessage request;
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        for (uint32_t offset = 0; offset < table.imageLength(); offset += layout.step) {
            table.encode(request.bytes + layout.area, offset, layout.chunk, kSelectAll);
            benchmark::DoNotOptimize(request);
        }
    }
    allocations.report(state);
}
BENCHMARK(BM_EncodeImage)->ArgName("extended")->Arg(1)->Arg(0);

// Two alternating images, so every point changes on every pass as in the busiest case.
void BM_DecodeImage(benchmark::State& state) {
    const bool extended = state.range(0) != 0;
    TavrikPointTable table = largeTable(extended);
    const Layout layout = layoutOf(extended);
    std::vector<uint8_t> images[2] = {std::vector<uint8_t>(table.imageLength() + layout.chunk),
                                      std::vector<uint8_t>(table.imageLength() + layout.chunk)};
    for (size_t i = 0; i < images[0].size(); ++i) {
        images[0][i] = static_cast<uint8_t>(i * 37 + 11);
        images[1][i] = static_cast<uint8_t>(~images[0][i]);
    }
    size_t pass = 0;
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        const std::vector<uint8_t>& image = images[pass++ % 2];
        for (uint32_t offset = 0; offset < table.imageLength(); offset += layout.step) {
            table.decode(image.data() + offset, offset, layout.chunk, kSelectAll);
        }
        benchmark::DoNotOptimize(table);
    }
    allocations.report(state);
}
BENCHMARK(BM_DecodeImage)->ArgName("extended")->Arg(1)->Arg(0);

void BM_SetValueAndIsPending(benchmark::State& state) {
    TavrikPointTable table = largeTable(true);
    const size_t outputs = table.count(Outputs);
    size_t pass = 0;
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        table.setValue(Outputs, static_cast<int32_t>(pass % outputs),
                       static_cast<int32_t>(pass & 1));
        benchmark::DoNotOptimize(table.isPending());
        ++pass;
    }
    allocations.report(state);
}
BENCHMARK(BM_SetValueAndIsPending);

}  // namespace
}  // namespace tavrik
