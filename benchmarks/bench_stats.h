// What the end-to-end and the service's benchmark programs share, so that every path is timed
// and paced alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace tavrik::bench {

using Clock = std::chrono::steady_clock;

inline double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[i];
}

// A pause between requests off the API thread's rhythm, so that they land anywhere in a pass;
// the same sequence on both paths.
inline void offRhythmPause(int i) {
    std::this_thread::sleep_for(std::chrono::microseconds(500 + (i * 7919) % 9000));
}

}  // namespace tavrik::bench
