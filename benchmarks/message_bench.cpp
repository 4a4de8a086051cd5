// The 64-byte application message: what the transport does to every report it writes and
// reads, and the reader of the status reply.
#include <benchmark/benchmark.h>

#include <cstring>

#include "allocation_counter.h"
#include "tavrik_message.h"

namespace tavrik {
namespace {

void BM_SealAndValidateMessage(benchmark::State& state) {
    TavrikMessage message = statusRequest(ModeRunning, 1700000000);
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        sealMessage(message);
        benchmark::DoNotOptimize(validateMessage(message.bytes, kMessageSize));
        benchmark::ClobberMemory();
    }
    allocations.report(state);
}
BENCHMARK(BM_SealAndValidateMessage);

// Arg 0: the texts a module sends; 1: both text fields full, without NUL.
void BM_DecodeStatusReply(benchmark::State& state) {
    TavrikMessage reply;
    reply.bytes[msg::Command] = CmdStatus;
    if (state.range(0) == 0) {
        std::memcpy(reply.bytes + msg::TypeText, "TIO-8", 5);
        std::memcpy(reply.bytes + msg::FirmwareText, "2.1.0", 5);
    } else {
        std::memset(reply.bytes + msg::TypeText, 'T', msg::TypeTextSize);
        std::memset(reply.bytes + msg::FirmwareText, 'F', msg::FirmwareTextSize);
    }
    writeU32(reply.bytes + msg::DeviceFlags, kFlagExtendedLayout);
    writeU32(reply.bytes + msg::WatchdogTime, 30);
    sealMessage(reply);
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        StatusReply status = decodeStatusReply(reply);
        benchmark::DoNotOptimize(status);
    }
    allocations.report(state);
}
BENCHMARK(BM_DecodeStatusReply)->ArgName("full_fields")->Arg(0)->Arg(1);

}  // namespace
}  // namespace tavrik
