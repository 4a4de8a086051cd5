// End-to-end figures over the public API on the virtual bus with the wire-time model on:
// write latency, event latency, idle API thread CPU, and the programming run with its floor.
// Prints "key value" lines for scripts/bench-e2e.sh; judges nothing.
//
//   bench_e2e_api latency <writes> <events>   write and event latency, ms
//   bench_e2e_api idle <seconds>              CPU of one started, idle module
//   bench_e2e_api program <hex file>          programFirmware: frames phase, whole run, floor
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "boot_frame.h"
#include "hid_backend.h"
#include "tavrik/tavrik.h"
#include "virtual_module.h"

namespace {

using tavrik::bench::Clock;
using tavrik::bench::msBetween;
using tavrik::bench::offRhythmPause;
using tavrik::bench::percentile;

constexpr int kWireMs = 1;
constexpr int kEraseMs = 200;
constexpr int kProgramMs = 5;
constexpr int kWaitMs = 5000;  // bounds every wait; only reached when something is broken

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The scenario must be in place before the first API call loads the bus.
void useScenario(const std::string& modules) {
    char dir[] = "/tmp/tavrik-e2e-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    const std::string path = std::string(dir) + "/bus.scenario";
    std::ofstream(path) << "wire_ms = " << kWireMs << "\n" << modules;
    setenv("TAVRIK_VIRTUAL_SCENARIO", path.c_str(), 1);
}

tavrik::virt::VirtualBus& bus() {
    return static_cast<tavrik::virt::VirtualBus&>(tavrik::hid::defaultBackend());
}

const char kModule[] = "[module]\nserial = A100\nconfig = 0 0 1 1\n";

int latency(int writes, int events) {
    useScenario(kModule);
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
    if (dev.open("A100") != tavrik::Ok || dev.start() != tavrik::Ok) {
        std::fprintf(stderr, "cannot open the virtual module\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the first exchanges

    std::vector<double> writeMs;
    for (int i = 0; i < writes; ++i) {
        const int value = (i + 1) & 1;
        const Clock::time_point t0 = Clock::now();
        dev.setValue(tavrik::Outputs, 0, value);
        // The module holds the value once the report carrying it has crossed.
        const bool arrived = bus().waitFor(0, kWaitMs, [&](const tavrik::virt::VirtualModule& m) {
            return m.point(tavrik::Outputs, 0) == value;
        });
        const Clock::time_point t1 = Clock::now();
        if (!arrived) {
            std::fprintf(stderr, "write %d never reached the module\n", i);
            return 1;
        }
        writeMs.push_back(msBetween(t0, t1));
        dev.waitForExchange(kWaitMs);
        offRhythmPause(i);  // so that writes land anywhere in a pass
    }

    std::vector<double> eventMs;
    for (int i = 0; i < events; ++i) {
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
        eventMs.push_back(msBetween(t0, t1));
        offRhythmPause(i);
    }
    dev.close();
    std::printf("write_median_ms %.3f\nwrite_p99_ms %.3f\n", percentile(writeMs, 0.5),
                percentile(writeMs, 0.99));
    std::printf("event_median_ms %.3f\nevent_p99_ms %.3f\n", percentile(eventMs, 0.5),
                percentile(eventMs, 0.99));
    std::printf("wire_ms %d\n", kWireMs);
    return 0;
}

// CPU of the whole process as a percentage of one core over a window of the given length,
// after a moment for what was just started to settle; the main thread sleeps meanwhile.
struct CpuWindow {
    double percent;
    double wallSeconds;
};

CpuWindow measureCpu(double seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu0 = cpuSeconds();
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = cpuSeconds() - cpu0;
    const double wall = msBetween(t0, Clock::now()) / 1000;
    return {100 * cpu / wall, wall};
}

// The floor under the idle figure: a thread that does nothing but wake every 10 ms, as the API
// thread's event read must, measured the same way. On a virtual machine each timer wake-up
// costs more than the work done after it.
double wakeFloorPercent(double seconds) {
    std::atomic<bool> stop{false};
    std::thread waker([&stop] {
        while (!stop) {
            poll(nullptr, 0, 10);
        }
    });
    const CpuWindow window = measureCpu(seconds);
    stop = true;
    waker.join();
    return window.percent;
}

int idle(double seconds) {
    useScenario(kModule);
    tavrik::Device dev;
    if (dev.open("A100") != tavrik::Ok || dev.start() != tavrik::Ok) {
        std::fprintf(stderr, "cannot open the virtual module\n");
        return 1;
    }
    // The process is the API thread and the virtual module behind it.
    const CpuWindow window = measureCpu(seconds);
    dev.close();
    std::printf("idle_cpu_percent %.4f\nidle_window_s %.1f\nidle_floor_percent %.4f\n",
                window.percent, window.wallSeconds, wakeFloorPercent(seconds));
    return 0;
}

// Timestamps the step lines, to find where programming starts.
class StampedLines : public std::stringbuf {
  public:
    std::vector<std::pair<Clock::time_point, std::string>> lines;

  protected:
    int sync() override {
        const std::string text = str();
        if (!text.empty()) {
            lines.emplace_back(Clock::now(), text);
            str("");
        }
        return 0;
    }
};

int program(const std::string& hexFile) {
    std::ostringstream modules;
    modules << "[module]\nserial = A100\nerase_ms = " << kEraseMs << "\nprogram_ms = " << kProgramMs
            << "\n";
    useScenario(modules.str());
    bus().enumerate(0, 0);  // loads the scenario before the clock starts
    StampedLines buffer;
    std::ostream log(&buffer);
    std::vector<Clock::time_point> frames;
    const double cpu0 = cpuSeconds();
    const Clock::time_point t0 = Clock::now();
    const int rc = tavrik::programFirmware(
        hexFile, "A100", [&](int) { frames.push_back(Clock::now()); }, &log);
    const Clock::time_point t1 = Clock::now();
    const double cpu = cpuSeconds() - cpu0;
    if (rc != 0 || frames.empty()) {
        std::fprintf(stderr, "programming failed: %d\n", rc);
        return 1;
    }
    // Floor: every report of every request crosses once, plus the module's processing time.
    double floorAll = 0;
    double floorFrames = 0;
    size_t programFrames = 0;
    size_t appRequests = 0;
    bus().withModule(0, [&](tavrik::virt::VirtualModule& m) {
        for (const std::vector<uint8_t>& payload : m.bootRequests()) {
            const size_t wire = tavrik::virt::encodeFrame(payload).size();
            const size_t reports = (wire + 63) / 64;
            const uint8_t command = payload.empty() ? 0 : payload[0];
            const int processing = command == 0x02 ? kEraseMs : command == 0x03 ? kProgramMs : 0;
            const double floor = (reports + 1.0) * kWireMs + processing;  // and one reply
            floorAll += floor;
            if (command == 0x03) {
                floorFrames += floor;
                ++programFrames;
            }
        }
        appRequests = m.requests().size();
    });
    floorAll += appRequests * 2.0 * kWireMs;
    // The frames run from the step line that announces them to the last acknowledgement.
    Clock::time_point framesStart = frames.front();
    for (const auto& [at, text] : buffer.lines) {
        if (text.find("rogram") != std::string::npos && at < frames.front()) {
            framesStart = at;
        }
    }
    std::printf("frames %zu\n", programFrames);
    std::printf("frames_ms %.1f\nframes_floor_ms %.1f\n", msBetween(framesStart, frames.back()),
                floorFrames);
    std::printf("run_ms %.1f\nrun_floor_ms %.1f\n", msBetween(t0, t1), floorAll);
    std::printf("run_cpu_ms %.1f\n", cpu * 1000);
    std::printf("erase_ms %d\nprogram_ms %d\n", kEraseMs, kProgramMs);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    // --tight-timers: 1 µs timer slack instead of 50 µs for this process's threads, to show how
    // much of a figure is the modelled wire's sleeps overshooting rather than the host.
    if (argc > 2 && std::string(argv[argc - 1]) == "--tight-timers") {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        --argc;
    }
    if (mode == "latency" && argc == 4) {
        return latency(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    if (mode == "idle" && argc == 3) {
        return idle(std::atof(argv[2]));
    }
    if (mode == "program" && argc == 3) {
        return program(argv[2]);
    }
    std::fprintf(stderr,
                 "usage: bench_e2e_api latency <writes> <events> | idle <seconds> | "
                 "program <hex file>\n");
    return 2;
}
