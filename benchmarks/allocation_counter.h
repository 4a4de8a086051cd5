// Counts the heap allocations of the benchmark process through a replaced global operator new,
// so a benchmark can report how many allocations one pass of its loop makes.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

namespace tavrik::bench {

// Allocations made so far by operator new, apart from those inside an AllocationPause.
uint64_t allocationCount();

// Leaves the allocations of this thread uncounted while it lives: code that runs inside the
// loop but is not under measurement, such as the simulated module behind the transport.
class AllocationPause {
  public:
    AllocationPause();
    ~AllocationPause();
    AllocationPause(const AllocationPause&) = delete;
    AllocationPause& operator=(const AllocationPause&) = delete;
};

// Counts from its construction, just before the timed loop, to report(), just after it.
class AllocationsPerIteration {
  public:
    AllocationsPerIteration() : start_(allocationCount()) {}

    void report(benchmark::State& state, const char* name = "allocs") const {
        state.counters[name] = benchmark::Counter(static_cast<double>(allocationCount() - start_),
                                                  benchmark::Counter::kAvgIterations);
    }

  private:
    uint64_t start_;
};

}  // namespace tavrik::bench
