// The hot-plug monitor: scans the attached modules without opening them, at every report of
// udev or tavrikd and at its interval, and queues what arrived and what left.
#include <algorithm>
#include <atomic>
#include <map>
#include <system_error>
#include <thread>
#include <utility>

#include "hotplug_wake.h"
#include "module_scan.h"
#include "pull_queue.h"
#include "service_modules.h"
#include "tavrik/tavrik.h"

namespace tavrik {

namespace {

constexpr int kDefaultScanIntervalMs = 2000;
// Reports kept for the reader; a reader this far behind has lost track anyway.
constexpr size_t kReportCapacity = 256;

using ModuleKey = std::pair<std::string, Mode>;  // a module in one mode

ModuleInfo moduleInfo(const std::string& serial, const FoundModule& found) {
    ModuleInfo info;
    info.serial = serial;
    info.mode = found.bootloader ? Mode::Bootloader : Mode::Application;
    info.productString = found.productString;
    info.location = found.location;
    info.path = found.path;
    return info;
}

}  // namespace

std::vector<ModuleInfo> attachedModules() {
    const std::map<std::string, FoundModule> found = scanModules();
    std::vector<ModuleInfo> list;
    for (const std::string& serial : physicalOrder(found)) {
        list.push_back(moduleInfo(serial, found.at(serial)));
    }
    return list;
}

struct Monitor::Impl {
    PullQueue<HotplugEvent> queue{kReportCapacity};
    std::map<ModuleKey, ModuleInfo> known;  // the monitor thread's, after start
    int scanIntervalMs = kDefaultScanIntervalMs;
    std::atomic<bool> stopping{false};
    std::unique_ptr<ServiceModules> service;
    std::unique_ptr<HotplugWake> wake;
    std::thread thread;

    void report(bool arrived, const ModuleInfo& module, bool initial) {
        HotplugEvent event;
        event.arrived = arrived;
        event.module = module;
        event.timestamp = std::chrono::steady_clock::now();
        event.initial = initial;
        queue.push(std::move(event), [](HotplugEvent&) {});
    }

    // Departures first, so that a module that changed mode leaves before it arrives again;
    // arrivals in physical order.
    void scan(bool initial) {
        std::vector<ModuleInfo> attached = attachedModules();
        // Where tavrikd runs, a module in its application is there for programs once the
        // service serves it: a program that opened it on an earlier report would take it from
        // the service.
        if (const std::optional<std::set<std::string>> served = service->running()) {
            attached.erase(std::remove_if(attached.begin(), attached.end(),
                                          [&](const ModuleInfo& info) {
                                              return info.mode == Mode::Application &&
                                                     served->count(info.serial) == 0;
                                          }),
                           attached.end());
        }
        std::map<ModuleKey, ModuleInfo> now;
        for (const ModuleInfo& info : attached) {
            now.emplace(ModuleKey(info.serial, info.mode), info);
        }
        for (const auto& [key, info] : known) {
            if (now.count(key) == 0) {
                report(false, info, false);
            }
        }
        for (const ModuleInfo& info : attached) {
            if (known.count(ModuleKey(info.serial, info.mode)) == 0) {
                report(true, info, initial);
            }
        }
        known = std::move(now);
    }

    void run() {
        while (!stopping) {
            wake->wait(scanIntervalMs);
            if (!stopping) {
                scan(false);
            }
        }
    }
};

Monitor::Monitor() : impl_(std::make_unique<Impl>()) {}

Monitor::~Monitor() {
    stop();
}

Monitor::Monitor(Monitor&& other) : impl_(std::make_unique<Impl>()) {
    impl_.swap(other.impl_);
}

Monitor& Monitor::operator=(Monitor&& other) {
    if (this != &other) {
        stop();
        impl_.swap(other.impl_);
    }
    return *this;
}

int Monitor::start() {
    Impl& d = *impl_;
    if (d.thread.joinable()) {
        return Ok;
    }
    d.queue.reset([] {});
    d.known.clear();
    d.stopping = false;
    // Following udev and the service before the first scan, so that no change falls between.
    d.service = std::make_unique<ServiceModules>();
    d.wake = std::make_unique<HotplugWake>(*d.service);
    d.scan(true);
    try {
        d.thread = std::thread(&Impl::run, &d);
    } catch (const std::system_error&) {
        d.queue.close();
        return ApiThreadStopped;
    }
    return Ok;
}

void Monitor::stop() {
    Impl& d = *impl_;
    if (d.thread.joinable()) {
        d.stopping = true;
        d.wake->interrupt();
        d.thread.join();
    }
    d.wake.reset();
    d.service.reset();
    d.queue.reset([] {});
    d.queue.close();
}

int Monitor::readEvent(HotplugEvent& event, int timeoutMs) {
    const int result = impl_->queue.pop(event, timeoutMs);
    return result < 0 ? DeviceNotOpen : result;
}

int Monitor::fd() const {
    return impl_->queue.fd();
}

void Monitor::setScanInterval(int intervalMs) {
    impl_->scanIntervalMs = intervalMs > 0 ? intervalMs : kDefaultScanIntervalMs;
}

}  // namespace tavrik
