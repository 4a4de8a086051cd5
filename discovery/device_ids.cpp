#include "tavrik_connection.h"

namespace tavrik {

namespace {
constexpr uint16_t kVendor = 0x04D8;
}

const std::vector<DeviceId> applicationDeviceIds = {
    deviceId(kVendor, 0xF713),
    deviceId(kVendor, 0xF2F1),
    deviceId(kVendor, 0xF306),
};

const std::vector<DeviceId> bootloaderDeviceIds = {
    deviceId(kVendor, 0xF65D),
    deviceId(kVendor, 0xF2F0),
    deviceId(kVendor, 0xF305),
};

}  // namespace tavrik
