#include "sysfs_device_tree.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "hidapi_platform.h"

namespace tavrik::hid {

namespace {

std::optional<std::string> resolve(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved);
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string baseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

bool isBelow(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() + 1 && startsWith(path, directory.c_str()) &&
           path[directory.size()] == '/';
}

// The basename of the node's subsystem link, empty when it has none.
std::string subsystemOf(const std::string& node) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink((node + "/subsystem").c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return std::string();
    }
    return baseName(std::string(target, static_cast<size_t>(n)));
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value of KEY=value in uevent text, one assignment per line.
std::optional<std::string> ueventValue(const std::string& text, const std::string& key) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(start, key.size(), key) == 0 && start + key.size() < end &&
            text[start + key.size()] == '=') {
            const size_t value = start + key.size() + 1;
            return text.substr(value, end - value);
        }
        start = end + 1;
    }
    return std::nullopt;
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 16;
}

// Parses all of text as a number in the given base (10 or 16), at most max.
bool parseNumber(const std::string& text, int base, uint64_t max, uint64_t* value) {
    if (text.empty()) {
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        const int digit = digitValue(c);
        if (digit >= base) {
            return false;
        }
        result = result * base + digit;
        if (result > max) {
            return false;
        }
    }
    *value = result;
    return true;
}

// Reads the first two separated hexadecimal 16-bit fields of text, as in "4d8/f713/100".
bool parseIdPair(const std::string& text, char separator, uint64_t* first, uint64_t* second) {
    const size_t split = text.find(separator);
    if (split == std::string::npos) {
        return false;
    }
    size_t end = text.find(separator, split + 1);
    if (end == std::string::npos) {
        end = text.size();
    }
    return parseNumber(text.substr(0, split), 16, 0xffff, first) &&
           parseNumber(text.substr(split + 1, end - split - 1), 16, 0xffff, second);
}

enum class NodeKind { UsbDevice, UsbInterface, PciFunction, Other };

struct NodeFacts {
    NodeKind kind = NodeKind::Other;
    std::string subsystem;
    std::string uevent;
};

bool readFacts(const std::string& node, NodeFacts* facts) {
    facts->subsystem = subsystemOf(node);
    if (facts->subsystem != "usb" && facts->subsystem != "pci") {
        facts->kind = NodeKind::Other;
        return true;
    }
    std::optional<std::string> uevent = readFile(node + "/uevent");
    if (!uevent) {
        return false;
    }
    facts->uevent = *uevent;
    if (facts->subsystem == "pci") {
        facts->kind = NodeKind::PciFunction;
        return true;
    }
    const std::optional<std::string> devtype = ueventValue(facts->uevent, "DEVTYPE");
    if (devtype == "usb_device") {
        facts->kind = NodeKind::UsbDevice;
    } else if (devtype == "usb_interface") {
        facts->kind = NodeKind::UsbInterface;
    } else {
        facts->kind = NodeKind::Other;
    }
    return true;
}

// The interface number of a USB interface kernel name such as 1-3.2:1.0.
bool interfaceNumber(const std::string& name, uint64_t* number) {
    const size_t colon = name.rfind(':');
    const size_t dot = name.rfind('.');
    return colon != std::string::npos && dot != std::string::npos && dot > colon &&
           parseNumber(name.substr(dot + 1), 10, 0xff, number);
}

// The ID of a node that is neither a USB nor a PCI bus node: its subsystem in capitals, kept
// in the kernel's lower case where capitals would make it look like one of those.
std::string otherId(const std::string& subsystem, const std::string& name) {
    std::string tag = subsystem.empty() ? "NODE" : subsystem;
    for (char& c : tag) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (startsWith(tag, "USB") || startsWith(tag, "PCI")) {
        tag = subsystem;
    }
    return tag + "\\" + name;
}

std::optional<std::string> usbId(const NodeFacts& facts, const std::string& name) {
    const std::optional<std::string> product = ueventValue(facts.uevent, "PRODUCT");
    uint64_t vendorId;
    uint64_t productId;
    if (!product || !parseIdPair(*product, '/', &vendorId, &productId)) {
        return std::nullopt;
    }
    char text[48];
    if (facts.kind == NodeKind::UsbDevice) {
        std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X\\",
                      static_cast<unsigned>(vendorId), static_cast<unsigned>(productId));
    } else {
        uint64_t number;
        if (!interfaceNumber(name, &number)) {
            return std::nullopt;
        }
        std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&MI_%02X\\",
                      static_cast<unsigned>(vendorId), static_cast<unsigned>(productId),
                      static_cast<unsigned>(number));
    }
    return text + name;
}

std::optional<std::string> pciId(const NodeFacts& facts, const std::string& name) {
    const std::optional<std::string> id = ueventValue(facts.uevent, "PCI_ID");
    uint64_t vendorId;
    uint64_t deviceId;
    if (!id || !parseIdPair(*id, ':', &vendorId, &deviceId)) {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof text, "PCI\\VEN_%04X&DEV_%04X\\", static_cast<unsigned>(vendorId),
                  static_cast<unsigned>(deviceId));
    return text + name;
}

std::optional<std::string> idText(const std::string& node) {
    NodeFacts facts;
    if (!readFacts(node, &facts)) {
        return std::nullopt;
    }
    const std::string name = baseName(node);
    switch (facts.kind) {
        case NodeKind::UsbDevice:
        case NodeKind::UsbInterface:
            return usbId(facts, name);
        case NodeKind::PciFunction:
            return pciId(facts, name);
        case NodeKind::Other:
            break;
    }
    return otherId(facts.subsystem, name);
}

// A USB device's port on its parent hub: the last number of a kernel name such as 1-3.2.
// Root hubs are named usbN and sit at address 0.
bool usbAddress(const std::string& name, uint32_t* address) {
    uint64_t value;
    if (startsWith(name, "usb")) {
        if (!parseNumber(name.substr(3), 10, UINT32_MAX, &value)) {
            return false;
        }
        *address = 0;
        return true;
    }
    const size_t separator = name.find_last_of(".-");
    if (separator == std::string::npos ||
        !parseNumber(name.substr(separator + 1), 10, UINT32_MAX, &value)) {
        return false;
    }
    *address = static_cast<uint32_t>(value);
    return true;
}

// A PCI function named domain:bus:device.function, such as 0000:00:14.0.
bool pciAddress(const std::string& name, uint32_t* address) {
    const size_t colon = name.rfind(':');
    const size_t dot = name.rfind('.');
    uint64_t device;
    uint64_t function;
    if (colon == std::string::npos || dot == std::string::npos || dot < colon ||
        !parseNumber(name.substr(colon + 1, dot - colon - 1), 16, 0x1f, &device) ||
        !parseNumber(name.substr(dot + 1), 16, 7, &function)) {
        return false;
    }
    *address = static_cast<uint32_t>(device << 16 | function);
    return true;
}

}  // namespace

std::optional<std::string> interfaceNode(const std::string& sysfsRoot,
                                         const std::string& hidrawName) {
    if (hidrawName.empty() || hidrawName.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const std::optional<std::string> devices = resolve(sysfsRoot + "/devices");
    const std::optional<std::string> node =
        resolve(sysfsRoot + "/class/hidraw/" + hidrawName + "/device");
    if (!devices || !node || !isBelow(*node, *devices)) {
        return std::nullopt;
    }
    return node;
}

bool nodeId(const std::string& node, char* buffer, size_t size) {
    const std::optional<std::string> id = idText(node);
    if (!id || id->size() >= size) {
        return false;
    }
    std::memcpy(buffer, id->c_str(), id->size() + 1);
    return true;
}

bool nodeAddress(const std::string& node, uint32_t* address) {
    NodeFacts facts;
    if (!readFacts(node, &facts)) {
        return false;
    }
    switch (facts.kind) {
        case NodeKind::UsbDevice:
            return usbAddress(baseName(node), address);
        case NodeKind::PciFunction:
            return pciAddress(baseName(node), address);
        case NodeKind::UsbInterface:
        case NodeKind::Other:
            break;
    }
    return false;
}

std::optional<std::string> parentNode(const std::string& sysfsRoot, const std::string& node) {
    const std::optional<std::string> devices = resolve(sysfsRoot + "/devices");
    if (!devices || !isBelow(node, *devices)) {
        return std::nullopt;
    }
    return node.substr(0, node.rfind('/'));
}

std::optional<std::string> buildLocationKey(const std::string& sysfsRoot,
                                            const std::string& hidrawName) {
    return buildLocationKey(SysfsTree{sysfsRoot}, hidrawName);
}

// hidapi names hidraw interfaces /dev/hidrawN; sysfs knows them as hidrawN.
std::optional<std::string> locationKeyOfPath(const char* path) {
    constexpr char kDevicePrefix[] = "/dev/hidraw";
    const size_t prefixLength = sizeof kDevicePrefix - 1;
    if (std::strncmp(path, kDevicePrefix, prefixLength) != 0) {
        return std::nullopt;
    }
    return buildLocationKey("/sys", path + std::strlen("/dev/"));
}

}  // namespace tavrik::hid
