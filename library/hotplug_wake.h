// What the monitor's thread sleeps on between scans: udev's reports and tavrikd's signals where
// there are any, and the call that stops it.
#pragma once

#include <memory>

namespace tavrik {

class ServiceModules;

class HotplugWake {
  public:
    // Also wakes at service's signals; service must outlive it.
    explicit HotplugWake(ServiceModules& service);
    HotplugWake(const HotplugWake&) = delete;
    HotplugWake& operator=(const HotplugWake&) = delete;
    ~HotplugWake();

    // Returns after timeoutMs, at a report of a hidraw node or a served module coming, going or
    // changing, or at interrupt().
    void wait(int timeoutMs);
    // Safe from any thread; the next wait() returns at once, also when none runs yet.
    void interrupt();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavrik
