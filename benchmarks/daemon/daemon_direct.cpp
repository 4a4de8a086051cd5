// The direct path next to each tavrikd figure (scripts/bench-daemon.sh): the public library
// over the virtual bus that TAVRIK_VIRTUAL_SCENARIO describes, the same file the service gets.
// Prints "key value" lines; judges nothing.
//
//   bench_daemon_direct set <serial> <writes>        setValue + waitForExchange, ms
//   bench_daemon_direct events <serial> <events>     module change to event callback, ms
//   bench_daemon_direct idle <seconds> <serial>...   CPU with these modules open and started
//   bench_daemon_direct listen <serial> <from ms> <seconds>
//       CPU with the module open, started and a callback installed, over a window that starts
//       this long after the start (when the scenario's input begins to toggle)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "hid_backend.h"
#include "process_cpu.h"
#include "tavrik/tavrik.h"
#include "virtual_module.h"

namespace {

using tavrik::bench::Clock;
using tavrik::bench::msBetween;
using tavrik::bench::percentile;

constexpr int kWaitMs = 5000;  // bounds every wait; only reached when something is broken

tavrik::virt::VirtualBus& bus() {
    return static_cast<tavrik::virt::VirtualBus&>(tavrik::hid::defaultBackend());
}

bool openStarted(tavrik::Device& dev, const std::string& serial) {
    if (dev.open(serial) != tavrik::Ok || dev.start() != tavrik::Ok) {
        std::fprintf(stderr, "cannot open and start the virtual module %s\n", serial.c_str());
        return false;
    }
    return true;
}

int set(const std::string& serial, int writes) {
    tavrik::Device dev;
    if (!openStarted(dev, serial)) {
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the first exchanges
    std::vector<double> ms;
    for (int i = 0; i < writes; ++i) {
        const Clock::time_point t0 = Clock::now();
        const int set = dev.setValue(tavrik::Outputs, 0, (i + 1) & 1);
        const int taken = set == tavrik::Ok ? dev.waitForExchange(kWaitMs) : set;
        const Clock::time_point t1 = Clock::now();
        if (taken != tavrik::Ok) {
            std::fprintf(stderr, "write %d: %s\n", i, tavrik::resultMessage(taken).c_str());
            return 1;
        }
        ms.push_back(msBetween(t0, t1));
        tavrik::bench::offRhythmPause(i);
    }
    dev.close();
    std::printf("set_median_ms %.3f\nset_p99_ms %.3f\n", percentile(ms, 0.5), percentile(ms, 0.99));
    return 0;
}

int events(const std::string& serial, int count) {
    tavrik::Device dev;
    std::mutex mutex;
    std::condition_variable seen;
    int lastValue = -1;
    dev.setEventCallback([&](const tavrik::Event& e) {
        if (e.kind == tavrik::Event::Io && e.type == tavrik::Inputs && e.index == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            lastValue = e.value;
            seen.notify_all();
        }
    });
    if (!openStarted(dev, serial)) {
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const int value = (i + 1) & 1;
        std::unique_lock<std::mutex> lock(mutex);
        lastValue = -1;
        lock.unlock();
        const Clock::time_point t0 = Clock::now();
        bus().setPoint(0, tavrik::Inputs, 0, value, true);
        lock.lock();
        const bool got = seen.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                       [&] { return lastValue == value; });
        const Clock::time_point t1 = Clock::now();
        lock.unlock();
        if (!got) {
            std::fprintf(stderr, "event %d never reached the callback\n", i);
            return 1;
        }
        ms.push_back(msBetween(t0, t1));
        tavrik::bench::offRhythmPause(i);
    }
    dev.close();
    std::printf("event_median_ms %.3f\nevent_p99_ms %.3f\n", percentile(ms, 0.5),
                percentile(ms, 0.99));
    return 0;
}

int idle(double seconds, const std::vector<std::string>& serials) {
    std::vector<std::unique_ptr<tavrik::Device>> devices;
    for (const std::string& serial : serials) {
        devices.push_back(std::make_unique<tavrik::Device>());
        if (!openStarted(*devices.back(), serial)) {
            return 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settled, as the service is
    const double percent = tavrik::bench::processCpuPercent(0, seconds);
    devices.clear();
    std::printf("idle_cpu_percent %.3f\n", percent);
    return 0;
}

int listen(const std::string& serial, int fromMs, double seconds) {
    tavrik::Device dev;
    std::atomic<int> changes{0};
    dev.setEventCallback([&](const tavrik::Event& e) {
        if (e.kind == tavrik::Event::Io) {
            ++changes;
        }
    });
    const Clock::time_point started = Clock::now();
    if (!openStarted(dev, serial)) {
        return 1;
    }
    std::this_thread::sleep_until(started + std::chrono::milliseconds(fromMs));
    const int before = changes;
    const double percent = tavrik::bench::processCpuPercent(0, seconds);
    const int seen = changes - before;
    dev.close();
    std::printf("listen_cpu_percent %.3f\nlisten_changes %d\n", percent, seen);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "set" && argc == 4) {
        return set(argv[2], std::atoi(argv[3]));
    }
    if (mode == "events" && argc == 4) {
        return events(argv[2], std::atoi(argv[3]));
    }
    if (mode == "idle" && argc >= 4) {
        return idle(std::atof(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
    }
    if (mode == "listen" && argc == 5) {
        return listen(argv[2], std::atoi(argv[3]), std::atof(argv[4]));
    }
    std::fprintf(stderr,
                 "usage: bench_daemon_direct set <serial> <writes> | events <serial> <events> | "
                 "idle <seconds> <serial>... | listen <serial> <from ms> <seconds>\n");
    return 2;
}
