// Finding the hidraw node the kernel gave a uhid device, by the device's phys text.
#pragma once

#include <optional>
#include <string>

namespace tavrik::sim {

// The value of KEY=value in uevent text, one assignment per line.
std::optional<std::string> ueventValue(const std::string& uevent, const std::string& key);

// The /dev path of the hidraw node whose HID device has this phys text; nothing when the
// kernel has not made one (yet).
std::optional<std::string> hidrawNodeByPhys(const std::string& sysfsRoot, const std::string& phys);

}  // namespace tavrik::sim
