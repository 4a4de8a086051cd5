// Location keys over the Windows device tree: the configuration manager's node IDs, bus
// addresses and parents, from the device node that carries each enumerated HID interface.
#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

#include "hidapi_platform.h"
#include "location_key.h"

namespace tavrik::hid {

namespace {

// GUID_DEVINTERFACE_HID, the class of every HID interface.
const GUID kHidInterfaceClass = {
    0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The device path of an interface of the set; nothing when it cannot be read.
std::optional<std::string> interfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* entry) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, entry, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return std::nullopt;
    }
    std::vector<char> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, entry, detail, required, nullptr, nullptr)) {
        return std::nullopt;
    }
    return std::string(detail->DevicePath);
}

// The device node that carries the HID interface at path: the element of the present HID
// interfaces' device-information set at the same index as the interface.
std::optional<DEVINST> interfaceNode(const char* path) {
    const HDEVINFO set = SetupDiGetClassDevsA(&kHidInterfaceClass, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<DEVINST> node;
    SP_DEVICE_INTERFACE_DATA entry = {};
    entry.cbSize = sizeof entry;
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &kHidInterfaceClass, index, &entry); ++index) {
        const std::optional<std::string> found = interfacePath(set, &entry);
        // Device paths differ in case between the enumerations that yield them.
        if (!found || lstrcmpiA(found->c_str(), path) != 0) {
            continue;
        }
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof info;
        if (SetupDiEnumDeviceInfo(set, index, &info)) {
            node = info.DevInst;
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return node;
}

struct ConfigManagerTree {
    using Interface = std::string;  // the device path hidapi enumerated
    using Node = DEVINST;

    std::optional<Node> interfaceNode(const Interface& path) const {
        return hid::interfaceNode(path.c_str());
    }
    bool nodeId(Node node, char* buffer, size_t size) const {
        return CM_Get_Device_IDA(node, buffer, static_cast<ULONG>(size), 0) == CR_SUCCESS;
    }
    bool nodeAddress(Node node, uint32_t* address) const {
        DWORD value = 0;
        ULONG length = sizeof value;
        if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_ADDRESS, nullptr, &value, &length, 0) !=
                CR_SUCCESS ||
            length != sizeof value) {
            return false;
        }
        *address = value;
        return true;
    }
    std::optional<Node> parentNode(Node node) const {
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
            return std::nullopt;
        }
        return parent;
    }
};

}  // namespace

std::optional<std::string> locationKeyOfPath(const char* path) {
    return buildLocationKey(ConfigManagerTree{}, std::string(path));
}

}  // namespace tavrik::hid
