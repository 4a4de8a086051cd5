// The tavrik.ini line editor on a file of ten filled sections: the reads of the device list and
// of an open, and the in-place write of one value.
#include <benchmark/benchmark.h>

#include <string>

#include "allocation_counter.h"
#include "ini_text.h"

namespace tavrik {
namespace {

std::string typicalIniText() {
    std::string text;
    for (int i = 0; i < 10; ++i) {
        const std::string n = std::to_string(i);
        text += "[device" + n + "]\r\n";
        text += "serial=TIO8-00012" + n + "\r\n";
        text += "type=TIO-8\r\n";
        text += "name=Rack " + n + " IO\r\n";
        text += "inputs=8\r\n";
        text += "outputs=4\r\n";
        text += "poe_maxpower=2\r\n";
        text += "\r\n";
    }
    return text;
}

// Arg: the section index; 9 is the last one, so the whole text is scanned.
void BM_ReadIniValue(benchmark::State& state) {
    const std::string text = typicalIniText();
    const std::string section = "device" + std::to_string(state.range(0));
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(readIniValue(text, section, "poe_maxpower"));
    }
    allocations.report(state);
    state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadIniValue)->ArgName("section")->Arg(0)->Arg(9);

// The write the device list makes when it assigns an index: the serial of the last section.
void BM_WriteIniValue(benchmark::State& state) {
    const std::string text = typicalIniText();
    bench::AllocationsPerIteration allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(writeIniValue(text, "device9", "serial", "TIO8-000999"));
    }
    allocations.report(state);
}
BENCHMARK(BM_WriteIniValue);

}  // namespace
}  // namespace tavrik
