// A client of tavrikd over sd-bus, for scripts/bench-daemon.sh: what a program on the bus waits
// for, and the service's CPU. Prints "key value" lines; judges nothing.
//
//   bench_daemon_client set <address> <serial> <writes>
//       SetValue until it returns (the module has taken the value), ms
//   bench_daemon_client idle <address> <daemon pid> <seconds>
//       the service's CPU while nobody calls it, % of a core
//   bench_daemon_client signals <address> <daemon pid> <clients> <events> <timeout s> [bus pid]
//       PointChanged from its own timestamp to its arrival at the last of the clients, ms, and
//       the service's CPU meanwhile (and the bus's, which copies each signal to every client)
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "process_cpu.h"

namespace {

using tavrik::bench::Clock;
using tavrik::bench::msBetween;
using tavrik::bench::percentile;

constexpr uint64_t kCallTimeoutUs = 5 * 1000 * 1000;
constexpr int kReadyMs = 10000;

uint64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

sd_bus* connect(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
        std::fprintf(stderr, "cannot connect to %s\n", address.c_str());
        sd_bus_unref(bus);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
    return bus;
}

// Until the service owns its name and the modules of its first scan are open.
bool waitReady(sd_bus* bus) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kReadyMs);
    int has = 0;
    while (has == 0) {
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               "io.tavrik1") >= 0) {
            sd_bus_message_read(reply, "b", &has);
        }
        sd_bus_message_unref(reply);
        if (has == 0) {
            if (Clock::now() >= deadline) {
                std::fprintf(stderr, "io.tavrik1 did not appear on the bus\n");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus, "io.tavrik1", "/io/tavrik1", "io.tavrik1.Manager",
                                     "Rescan", &error, nullptr, "");
    if (r < 0) {
        std::fprintf(stderr, "Rescan: %s\n", error.message != nullptr ? error.message : "failed");
    }
    sd_bus_error_free(&error);
    return r >= 0;
}

std::string modulePath(const std::string& serial) {
    char* path = nullptr;
    sd_bus_path_encode("/io/tavrik1/module", serial.c_str(), &path);
    std::string text = path != nullptr ? path : "";
    free(path);
    return text;
}

int set(const std::string& address, const std::string& serial, int writes) {
    sd_bus* bus = connect(address);
    if (bus == nullptr || !waitReady(bus)) {
        sd_bus_unref(bus);
        return 1;
    }
    const std::string path = modulePath(serial);
    std::vector<double> ms;
    for (int i = 0; i < writes; ++i) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const Clock::time_point t0 = Clock::now();
        const int r = sd_bus_call_method(bus, "io.tavrik1", path.c_str(), "io.tavrik1.Module",
                                         "SetValue", &error, nullptr, "uui", 1u, 0u, (i + 1) & 1);
        const Clock::time_point t1 = Clock::now();
        if (r < 0) {
            std::fprintf(stderr, "SetValue %d: %s\n", i,
                         error.message != nullptr ? error.message : std::strerror(-r));
            sd_bus_error_free(&error);
            sd_bus_flush_close_unref(bus);
            return 1;
        }
        sd_bus_error_free(&error);
        ms.push_back(msBetween(t0, t1));
        tavrik::bench::offRhythmPause(i);
    }
    sd_bus_flush_close_unref(bus);
    std::printf("set_median_ms %.3f\nset_p99_ms %.3f\n", percentile(ms, 0.5), percentile(ms, 0.99));
    return 0;
}

int idle(const std::string& address, pid_t pid, double seconds) {
    sd_bus* bus = connect(address);
    if (bus == nullptr || !waitReady(bus)) {
        sd_bus_unref(bus);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the first exchanges
    const double percent = tavrik::bench::processCpuPercent(pid, seconds);
    sd_bus_flush_close_unref(bus);
    std::printf("idle_cpu_percent %.3f\n", percent);
    return percent < 0 ? 1 : 0;
}

// One change as the clients saw it, by its sequence number.
struct Arrival {
    uint64_t stampUs = 0;
    uint64_t lastUs = 0;
    int clients = 0;
};

struct Collector {
    std::map<uint64_t, Arrival> arrivals;
    int complete = 0;
    int clients = 0;
};

int onPointChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    // Stamped first: what follows is this program's bookkeeping, not the service's delay.
    const uint64_t now = monotonicMicros();
    auto* collector = static_cast<Collector*>(userdata);
    uint32_t type = 0;
    uint32_t index = 0;
    int32_t value = 0;
    int initial = 0;
    uint64_t sequence = 0;
    uint64_t timestamp = 0;
    if (sd_bus_message_read(message, "uuibtt", &type, &index, &value, &initial, &sequence,
                            &timestamp) < 0 ||
        initial != 0) {
        return 0;
    }
    Arrival& arrival = collector->arrivals[sequence];
    arrival.stampUs = timestamp;
    arrival.lastUs = std::max(arrival.lastUs, now);
    if (++arrival.clients == collector->clients) {
        ++collector->complete;
    }
    return 0;
}

int signals(const std::string& address, pid_t pid, int clients, int events, double timeoutS,
            pid_t busPid) {
    std::vector<sd_bus*> buses;
    std::vector<sd_bus_slot*> slots;
    Collector collector;
    collector.clients = clients;
    auto closeAll = [&] {
        for (sd_bus_slot* slot : slots) {
            sd_bus_slot_unref(slot);
        }
        for (sd_bus* bus : buses) {
            sd_bus_flush_close_unref(bus);
        }
    };
    for (int i = 0; i < clients; ++i) {
        sd_bus* bus = connect(address);
        if (bus == nullptr || (i == 0 && !waitReady(bus))) {
            sd_bus_unref(bus);
            closeAll();
            return 1;
        }
        buses.push_back(bus);
        sd_bus_slot* slot = nullptr;
        // Returns once the bus has the match, so no change after this is missed.
        if (sd_bus_match_signal(bus, &slot, "io.tavrik1", nullptr, "io.tavrik1.Module",
                                "PointChanged", &onPointChanged, &collector) < 0) {
            std::fprintf(stderr, "cannot subscribe client %d\n", i);
            closeAll();
            return 1;
        }
        slots.push_back(slot);
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(timeoutS));
    // The service's CPU counts from the first change, so that the wait before the input starts
    // to toggle does not thin it out.
    double cpu0 = -1;
    double busCpu0 = 0;
    Clock::time_point t0;
    std::vector<pollfd> fds(buses.size());
    while (collector.complete < events && Clock::now() < deadline) {
        for (size_t i = 0; i < buses.size(); ++i) {
            while (sd_bus_process(buses[i], nullptr) > 0) {
            }
            fds[i] = {sd_bus_get_fd(buses[i]), static_cast<short>(sd_bus_get_events(buses[i])), 0};
        }
        if (cpu0 < 0 && !collector.arrivals.empty()) {
            cpu0 = tavrik::bench::processCpuSeconds(pid);
            busCpu0 = busPid > 0 ? tavrik::bench::processCpuSeconds(busPid) : 0;
            t0 = Clock::now();
        }
        poll(fds.data(), fds.size(), 100);
    }
    const double cpu = cpu0 < 0 ? 0 : tavrik::bench::processCpuSeconds(pid) - cpu0;
    const double busCpu =
        cpu0 < 0 || busPid <= 0 ? 0 : tavrik::bench::processCpuSeconds(busPid) - busCpu0;
    const double wall = cpu0 < 0 ? 1 : msBetween(t0, Clock::now()) / 1000;
    closeAll();

    std::vector<double> lastMs;
    for (const auto& [sequence, arrival] : collector.arrivals) {
        if (arrival.clients == clients) {
            lastMs.push_back((static_cast<double>(arrival.lastUs) - arrival.stampUs) / 1000);
        }
    }
    std::printf("signals_complete %d\nsignals_seen %zu\n", collector.complete,
                collector.arrivals.size());
    std::printf("signal_median_ms %.3f\nsignal_p99_ms %.3f\n", percentile(lastMs, 0.5),
                percentile(lastMs, 0.99));
    std::printf("daemon_cpu_percent %.3f\nbus_cpu_percent %.3f\nwindow_s %.1f\n", 100 * cpu / wall,
                100 * busCpu / wall, wall);
    return collector.complete == events ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "set" && argc == 5) {
        return set(argv[2], argv[3], std::atoi(argv[4]));
    }
    if (mode == "idle" && argc == 5) {
        return idle(argv[2], std::atoi(argv[3]), std::atof(argv[4]));
    }
    if (mode == "signals" && (argc == 7 || argc == 8)) {
        return signals(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                       std::atof(argv[6]), argc == 8 ? std::atoi(argv[7]) : 0);
    }
    std::fprintf(stderr,
                 "usage: bench_daemon_client set <address> <serial> <writes> | idle <address> "
                 "<pid> <seconds> | signals <address> <pid> <clients> <events> <timeout s> "
                 "[bus pid]\n");
    return 2;
}
