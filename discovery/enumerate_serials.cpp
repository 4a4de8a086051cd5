#include <algorithm>
#include <utility>

#include "module_scan.h"
#include "tavrik_connection.h"

namespace tavrik {

void enumerateSerials(const std::vector<DeviceId>& ids, std::vector<std::string>& serials) {
    std::vector<std::pair<std::string, std::string>> found;  // serial, location
    for (DeviceId id : ids) {
        hid::hid_device_info* list = hid::hid_enumerate(vendorOf(id), productOf(id));
        for (hid::hid_device_info* info = list; info != nullptr; info = info->next) {
            if (info->serial_number != nullptr) {
                found.emplace_back(narrowText(info->serial_number),
                                   info->location != nullptr ? info->location : "");
            }
        }
        hid::hid_free_enumeration(list);
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return locationBefore(a.second, b.second);
    });
    for (const auto& pair : found) {
        if (std::find(serials.begin(), serials.end(), pair.first) == serials.end()) {
            serials.push_back(pair.first);
        }
    }
}

}  // namespace tavrik
