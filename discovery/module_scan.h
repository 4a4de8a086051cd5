// Which modules are attached, in which mode, found through the HID layer.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tavrik_hid.h"

namespace tavrik::daemon {

struct FoundModule {
    bool bootloader = false;
    std::string productString;  // HID product string; empty when none
};

// Adds the records of one enumeration that carry a serial number; a module found in
// application mode stays so when it also shows up in its bootloader. Pure over the records.
void collectModules(const hid::hid_device_info* records, bool bootloader,
                    std::map<std::string, FoundModule>& found);

// Enumerates every application and bootloader device ID, by serial number.
std::map<std::string, FoundModule> scanModules();

}  // namespace tavrik::daemon
