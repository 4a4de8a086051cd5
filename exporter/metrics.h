// The exporter's metrics: a snapshot of what was read from the modules, and its text in the
// Prometheus text exposition format. Rendering does no I/O, so it is tested on its own.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace tavrik::exporter {

struct PointSnapshot {
    uint32_t type = 0;
    uint32_t index = 0;
    int32_t value = 0;
    bool relay = false;  // shown only for outputs
};

struct ModuleSnapshot {
    int listIndex = 0;  // position in the device list
    std::string serial;
    int openResult = 0;  // 0 when the module opened and answered
    std::string name, typeText, firmware, hardware;
    int64_t watchdogTime = 0;  // 0 when the module reports none
    std::vector<PointSnapshot> points;
};

// Counters kept while modules are held open, by serial.
struct PointKey {
    std::string serial;
    int listIndex = 0;
    uint32_t type = 0;
    uint32_t index = 0;
    bool operator<(const PointKey& o) const {
        return std::tie(serial, listIndex, type, index) <
               std::tie(o.serial, o.listIndex, o.type, o.index);
    }
};
struct ErrorKey {
    std::string serial;
    int listIndex = 0;
    int32_t code = 0;
    bool operator<(const ErrorKey& o) const {
        return std::tie(serial, listIndex, code) < std::tie(o.serial, o.listIndex, o.code);
    }
};

struct Snapshot {
    std::vector<ModuleSnapshot> modules;
    double scrapeSeconds = 0;
    std::map<int, uint64_t> openFailures;  // by result code, since the exporter started
    bool eventCounters = false;            // --hold: the two families below are shown
    std::map<PointKey, uint64_t> pointChanges;
    std::map<ErrorKey, uint64_t> errorEvents;
};

// A label value with backslash, double quote and newline escaped, and always valid UTF-8: each
// broken sequence of the module's bytes becomes U+FFFD.
std::string escapeLabelValue(const std::string& value);

// The whole exposition text, every family with its HELP and TYPE lines.
std::string renderMetrics(const Snapshot& snapshot);

}  // namespace tavrik::exporter
