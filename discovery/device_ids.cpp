#include "tavrik_connection.h"

namespace tavrik {

const std::vector<DeviceId> applicationDeviceIds = {
    deviceId(kVendorId, 0xF713),
    deviceId(kVendorId, 0xF2F1),
    deviceId(kVendorId, 0xF306),
};

const std::vector<DeviceId> bootloaderDeviceIds = {
    deviceId(kVendorId, 0xF65D),
    deviceId(kVendorId, 0xF2F0),
    deviceId(kVendorId, 0xF305),
};

}  // namespace tavrik
