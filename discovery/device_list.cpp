#include "device_list.h"

#include <algorithm>

#include "config_file.h"
#include "tavrik_device.h"

namespace tavrik {

namespace {

bool indexTaken(const std::vector<DeviceEntry>& entries, int index) {
    return std::any_of(entries.begin(), entries.end(),
                       [index](const DeviceEntry& e) { return e.index == index; });
}

// Gives an index to every entry that has none: the lowest one that no listed module holds and
// whose section is empty or belongs to a module of the same type.
void assignIndexes(std::vector<DeviceEntry>& entries, ConfigFile& config) {
    for (DeviceEntry& entry : entries) {
        if (entry.index != -1) {
            continue;
        }
        for (int i = 0; i < kConfigSections; ++i) {
            if (indexTaken(entries, i)) {
                continue;
            }
            const std::string section = sectionName(i);
            const std::string type = config.readString(section, "type", "");
            if (!type.empty() && type != entry.type) {
                continue;
            }
            entry.index = i;
            if (isAdministrator()) {
                config.writeString(section, "serial", entry.serial);
                config.writeString(section, "type", entry.type);
            }
            break;
        }
    }
}

}  // namespace

void enumerateDevices(std::vector<std::string>& serials) {
    serials.clear();
    ConfigFile config(kConfigFileName);
    std::vector<std::string> found;
    enumerateSerials(applicationDeviceIds, found);

    std::vector<DeviceEntry> entries;
    {
        TavrikDevice scratch;
        for (const std::string& serial : found) {
            const int result = scratch.open(serial);
            if (result != Ok && result != DeviceBusy) {
                continue;
            }
            entries.push_back({serial, scratch.typeText(), config.findIndex(serial)});
        }
        scratch.close();
    }

    assignIndexes(entries, config);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const DeviceEntry& a, const DeviceEntry& b) { return a.index < b.index; });
    for (const DeviceEntry& entry : entries) {
        serials.push_back(entry.serial);
    }
}

}  // namespace tavrik
