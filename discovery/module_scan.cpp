#include "module_scan.h"

#include <algorithm>

#include "tavrik_connection.h"

namespace tavrik {

void collectModules(const hid::hid_device_info* records, bool bootloader,
                    std::map<std::string, FoundModule>& found) {
    for (const hid::hid_device_info* info = records; info != nullptr; info = info->next) {
        // Without a serial number a module cannot be opened again by it.
        if (info->serial_number == nullptr) {
            continue;
        }
        const std::string serial = narrowText(info->serial_number);
        auto existing = found.find(serial);
        if (existing != found.end()) {
            if (!existing->second.bootloader || bootloader) {
                continue;
            }
        }
        FoundModule module;
        module.bootloader = bootloader;
        if (info->product_string != nullptr) {
            module.productString = narrowText(info->product_string);
        }
        if (info->location != nullptr) {
            module.location = info->location;
        }
        if (info->path != nullptr) {
            module.path = info->path;
        }
        found[serial] = module;
    }
}

std::map<std::string, FoundModule> scanModules() {
    std::map<std::string, FoundModule> found;
    for (bool bootloader : {false, true}) {
        for (DeviceId id : bootloader ? bootloaderDeviceIds : applicationDeviceIds) {
            hid::hid_device_info* list = hid::hid_enumerate(vendorOf(id), productOf(id));
            collectModules(list, bootloader, found);
            hid::hid_free_enumeration(list);
        }
    }
    return found;
}

bool locationBefore(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

std::vector<std::string> physicalOrder(const std::map<std::string, FoundModule>& found) {
    std::vector<std::string> order;
    for (const auto& entry : found) {
        order.push_back(entry.first);
    }
    // The map's serial order breaks ties.
    std::stable_sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
        return locationBefore(found.at(a).location, found.at(b).location);
    });
    return order;
}

}  // namespace tavrik
