// Reads the modules over the library's public API into a Snapshot, as the tools reach them.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "metrics.h"

namespace tavrik {
class Device;
}

namespace tavrik::exporter {

class Collector {
  public:
    // hold: keep every module open with its API thread between scrapes and count its events;
    // otherwise each module is opened only while a scrape reads it, except the modules that
    // tavrikd holds, which are kept through the service and their events counted.
    explicit Collector(bool hold);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // One scrape; calls come from one thread at a time.
    Snapshot scrape();

  private:
    struct Held;
    ModuleSnapshot read(int listIndex, const std::string& serial);

    const bool hold_;
    std::map<int, uint64_t> openFailures_;
    std::map<std::string, int> seen_;  // serial to its last list index, to report it gone
    std::map<std::string, std::unique_ptr<Held>> held_;
    std::mutex countersMutex_;  // the event callbacks run on the modules' API threads
    std::map<PointKey, uint64_t> pointChanges_;
    std::map<ErrorKey, uint64_t> errorEvents_;
};

}  // namespace tavrik::exporter
