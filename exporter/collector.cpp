#include "collector.h"

#include <tavrik/tavrik.h>

#include <chrono>
#include <set>
#include <utility>

namespace tavrik::exporter {

struct Collector::Held {
    Device device;
    // Points reported once right after start; that first report is the value, not a change.
    std::set<std::pair<uint32_t, uint32_t>> reported;
};

namespace {

void readPoints(const Device& dev, ModuleSnapshot& m) {
    m.name = dev.name();
    m.typeText = dev.typeText();
    m.firmware = dev.firmwareVersion();
    m.hardware = dev.hardwareVersion();
    m.watchdogTime = dev.watchdogTime();
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        const size_t count = dev.pointCount(type);
        for (size_t i = 0; i < count; ++i) {
            const int value = dev.value(type, static_cast<int32_t>(i));
            if (value < 0)
                continue;  // not readable now; leave the series out rather than report a code
            m.points.push_back({type, static_cast<uint32_t>(i), value,
                                dev.isRelay(type, static_cast<int32_t>(i))});
        }
    }
}

}  // namespace

Collector::Collector(bool hold) : hold_(hold) {}

Collector::~Collector() {
    for (auto& entry : held_)
        entry.second->device.close();
}

// A held device is read as it stands. Otherwise the module is opened: a module that tavrikd
// holds is kept from then on, as with --hold, since keeping it opens nothing of the module
// and its events can be counted; any other is read from the state read at open (no API
// thread) and closed, so that it is free again at once for the tools.
ModuleSnapshot Collector::read(int listIndex, const std::string& serial) {
    ModuleSnapshot m;
    m.listIndex = listIndex;
    m.serial = serial;
    auto found = held_.find(serial);
    if (found != held_.end() && found->second->device.status() != Ok) {
        // Its API thread ended (unplugged, the module failed, the service went): afresh.
        found->second->device.close();
        held_.erase(found);
        found = held_.end();
    }
    if (found == held_.end()) {
        auto fresh = std::make_unique<Held>();
        Held* raw = fresh.get();
        fresh->device.setEventCallback([this, raw, serial, listIndex](const Event& e) {
            std::lock_guard<std::mutex> lock(countersMutex_);
            if (e.kind == Event::Error) {
                ++errorEvents_[{serial, listIndex, e.value}];
            } else if (!raw->reported.insert({e.type, e.index}).second) {
                ++pointChanges_[{serial, listIndex, e.type, e.index}];
            }
        });
        int result = fresh->device.open(serial);
        const bool keep = result == Ok && (hold_ || fresh->device.viaService());
        if (keep)
            result = fresh->device.start();
        if (result != Ok) {
            fresh->device.close();
            ++openFailures_[result];
            m.openResult = result;
            return m;
        }
        if (!keep) {
            m.openResult = Ok;
            readPoints(fresh->device, m);
            fresh->device.close();
            return m;
        }
        found = held_.emplace(serial, std::move(fresh)).first;
    }
    m.openResult = Ok;
    readPoints(found->second->device, m);
    return m;
}

Snapshot Collector::scrape() {
    const auto started = std::chrono::steady_clock::now();
    Snapshot s;
    const std::vector<std::string> serials = devices();
    std::set<std::string> listed;
    for (size_t i = 0; i < serials.size(); ++i) {
        const int index = static_cast<int>(i);
        s.modules.push_back(read(index, serials[i]));
        listed.insert(serials[i]);
        seen_[serials[i]] = index;
    }
    // A module seen before and now gone reads as down, so that an alert needs no absent().
    for (const auto& [serial, index] : seen_) {
        if (listed.count(serial))
            continue;
        ModuleSnapshot gone;
        gone.listIndex = index;
        gone.serial = serial;
        gone.openResult = UnableToOpenDevice;
        s.modules.push_back(gone);
    }
    for (auto it = held_.begin(); it != held_.end();) {
        if (listed.count(it->first)) {
            ++it;
        } else {
            it->second->device.close();
            it = held_.erase(it);
        }
    }
    s.openFailures = openFailures_;
    // Counted for every module held, by --hold or through the service.
    s.eventCounters = hold_ || !held_.empty();
    {
        std::lock_guard<std::mutex> lock(countersMutex_);
        s.pointChanges = pointChanges_;
        s.errorEvents = errorEvents_;
    }
    s.scrapeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return s;
}

}  // namespace tavrik::exporter
