#include "module_scan.h"

#include "tavrik_connection.h"

namespace tavrik::daemon {

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

}  // namespace tavrik::daemon
