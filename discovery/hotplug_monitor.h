// hidraw arrivals and departures as udev tells of them.
#pragma once

#include <systemd/sd-device.h>
#include <systemd/sd-event.h>

#include <functional>

namespace tavrik {

class HotplugMonitor {
  public:
    HotplugMonitor() = default;
    HotplugMonitor(const HotplugMonitor&) = delete;
    HotplugMonitor& operator=(const HotplugMonitor&) = delete;
    ~HotplugMonitor();

    // changed runs on the loop for every hidraw event. Negative errno when udev cannot be
    // followed here (no udev, no netlink in a container); the periodic scan still works.
    int start(sd_event* event, std::function<void()> changed);
    void stop();

  private:
    static int onDevice(sd_device_monitor* monitor, sd_device* device, void* self);

    sd_device_monitor* monitor_ = nullptr;
    std::function<void()> changed_;
};

}  // namespace tavrik
