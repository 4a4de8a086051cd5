// Which modules are attached, in which mode, found through the HID layer without opening any.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tavrik_hid.h"

namespace tavrik {

struct FoundModule {
    bool bootloader = false;
    std::string productString;  // HID product string; empty when none
    std::string location;       // the location key; empty when none
    std::string path;           // the HID layer's device path
};

// Adds the records of one enumeration that carry a serial number; a module found in
// application mode stays so when it also shows up in its bootloader. Pure over the records.
void collectModules(const hid::hid_device_info* records, bool bootloader,
                    std::map<std::string, FoundModule>& found);

// Enumerates every application and bootloader device ID, by serial number.
std::map<std::string, FoundModule> scanModules();

// The serials of found, in physical order: by location key, then by serial.
std::vector<std::string> physicalOrder(const std::map<std::string, FoundModule>& found);

// Byte-wise, unsigned, the shorter key first when one is a prefix of the other.
bool locationBefore(const std::string& a, const std::string& b);

}  // namespace tavrik
