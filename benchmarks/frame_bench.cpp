// Bootloader frames at their worst: a payload of which every byte needs an escape, encoded,
// then decoded again from the 64-byte reports it travels in.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "allocation_counter.h"
#include "frame_codec.h"

namespace tavrik {
namespace {

// Two bytes more than the largest Program payload (499 bytes and one 127-byte record).
constexpr size_t kWorstPayload = 628;
constexpr size_t kReportSize = 64;

std::vector<uint8_t> escapedPayload() {
    const uint8_t special[3] = {kFrameStart, kFrameEnd, kFrameEscape};
    std::vector<uint8_t> payload(kWorstPayload);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = special[i % 3];
    }
    return payload;
}

void BM_EncodeFrame(benchmark::State& state) {
    const std::vector<uint8_t> payload = escapedPayload();
    uint8_t raw[kRawCapacity];
    int size = 0;
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        size = encodeFrame(payload.data(), payload.size(), raw, sizeof raw);
        benchmark::DoNotOptimize(raw);
    }
    allocations.report(state);
    state.counters["wire_bytes"] = size;
}
BENCHMARK(BM_EncodeFrame);

void BM_DecodeFrameReports(benchmark::State& state) {
    const std::vector<uint8_t> payload = escapedPayload();
    uint8_t raw[kRawCapacity];
    const int size = encodeFrame(payload.data(), payload.size(), raw, sizeof raw);
    // The frame as the module sends it: whole reports, the last one padded with zeros.
    const size_t reportCount = (static_cast<size_t>(size) + kReportSize - 1) / kReportSize;
    std::vector<uint8_t> reports(reportCount * kReportSize, 0);
    std::copy(raw, raw + size, reports.begin());

    FrameDecoder decoder;
    uint8_t decoded[kPayloadCapacity];
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        size_t length = 0;
        bool complete = false;
        for (size_t r = 0; r < reportCount && !complete; ++r) {
            complete =
                decoder.feed(reports.data() + r * kReportSize, kReportSize, decoded, &length);
        }
        if (!complete || length != payload.size()) {
            state.SkipWithError("the frame did not decode");
            break;
        }
        benchmark::DoNotOptimize(decoded);
    }
    allocations.report(state);
    state.counters["reports"] = static_cast<double>(reportCount);
}
BENCHMARK(BM_DecodeFrameReports);

}  // namespace
}  // namespace tavrik
