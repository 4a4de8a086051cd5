#include "device_list.h"

#include <algorithm>
#include <optional>

#include "config_file.h"
#include "tavrik_device.h"

namespace tavrik {

namespace {

bool indexTaken(const std::vector<DeviceEntry>& entries, int index) {
    return std::any_of(entries.begin(), entries.end(),
                       [index](const DeviceEntry& e) { return e.index == index; });
}

bool anyWithoutIndex(const std::vector<DeviceEntry>& entries) {
    return indexTaken(entries, -1);
}

// Gives an index to every entry that has none: the lowest one that no listed module holds and
// whose section is empty or belongs to a module of the same type. What is recorded is chosen
// and written under one update, from the file as it stands then, so that two runs at once
// never take the same free section for two modules. Without the update's lock the indexes
// hold for this run only.
void assignIndexes(std::vector<DeviceEntry>& entries, ConfigFile& config) {
    if (!anyWithoutIndex(entries)) {
        return;
    }
    std::optional<ConfigFile::Update> update;
    if (isAdministrator()) {
        update.emplace(config);
    }
    const bool recording = update && update->held();
    for (DeviceEntry& entry : entries) {
        if (entry.index != -1) {
            continue;
        }
        if (recording) {
            // Another run may have recorded this module since the list was read.
            const int recorded = config.findIndex(entry.serial);
            if (recorded != -1 && !indexTaken(entries, recorded)) {
                entry.index = recorded;
                continue;
            }
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
            // A serial or type that would read back as something else is not recorded at
            // all: the module could never find its section again, and half an entry would
            // give the section to a module it does not describe.
            if (recording && ConfigFile::isRecordable(entry.serial) &&
                ConfigFile::isRecordable(entry.type) && isAdministrator()) {
                config.writeString(section, "serial", entry.serial);
                config.writeString(section, "type", entry.type);
            }
            break;
        }
    }
}

}  // namespace

void enumerateDevices(std::vector<std::string>& serials,
                      const std::map<std::string, std::string>& servedTypes) {
    serials.clear();
    ConfigFile config(kConfigFileName);
    std::vector<std::string> found;
    enumerateSerials(applicationDeviceIds, found);

    std::vector<DeviceEntry> entries;
    {
        TavrikDevice scratch;
        for (const std::string& serial : found) {
            const auto served = servedTypes.find(serial);
            if (served != servedTypes.end()) {
                entries.push_back({serial, served->second, config.findIndex(serial)});
                continue;
            }
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
