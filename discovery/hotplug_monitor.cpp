#include "hotplug_monitor.h"

namespace tavrik {

HotplugMonitor::~HotplugMonitor() {
    stop();
}

void HotplugMonitor::stop() {
    monitor_ = sd_device_monitor_unref(monitor_);
}

int HotplugMonitor::start(sd_event* event, std::function<void()> changed) {
    changed_ = std::move(changed);
    int r = sd_device_monitor_new(&monitor_);
    if (r >= 0) {
        r = sd_device_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr);
    }
    if (r >= 0) {
        r = sd_device_monitor_attach_event(monitor_, event);
    }
    if (r >= 0) {
        r = sd_device_monitor_start(monitor_, &HotplugMonitor::onDevice, this);
    }
    if (r < 0) {
        monitor_ = sd_device_monitor_unref(monitor_);
    }
    return r;
}

int HotplugMonitor::onDevice(sd_device_monitor*, sd_device*, void* self) {
    static_cast<HotplugMonitor*>(self)->changed_();
    return 0;
}

}  // namespace tavrik
