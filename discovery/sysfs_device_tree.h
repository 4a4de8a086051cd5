// Location keys over sysfs: the four device-tree operations and the key built from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "location_key.h"

namespace tavrik::hid {

// A device-tree node is a directory below <sysfsRoot>/devices.
// The node that carries hidraw interface NAME: <sysfsRoot>/class/hidraw/NAME/device resolved.
std::optional<std::string> interfaceNode(const std::string& sysfsRoot,
                                         const std::string& hidrawName);
// The node's ID as text into a 128-byte buffer: USB device and hub nodes begin with "USB",
// USB interface nodes are "USB" IDs that contain "MI_", PCI functions begin with "PCI", every
// other node begins with neither. False when it cannot be read or does not fit.
bool nodeId(const std::string& node, char* buffer, size_t size);
// The node's bus address: a USB device or hub its port on the parent hub, a root hub 0, a PCI
// function device << 16 | function.
bool nodeAddress(const std::string& node, uint32_t* address);
// The parent node; nothing at the root of the tree.
std::optional<std::string> parentNode(const std::string& sysfsRoot, const std::string& node);

// The operations above as the location-key walk takes them.
struct SysfsTree {
    using Interface = std::string;  // the hidraw name
    using Node = std::string;
    std::string sysfsRoot;

    std::optional<Node> interfaceNode(const Interface& hidrawName) const {
        return hid::interfaceNode(sysfsRoot, hidrawName);
    }
    bool nodeId(const Node& node, char* buffer, size_t size) const {
        return hid::nodeId(node, buffer, size);
    }
    bool nodeAddress(const Node& node, uint32_t* address) const {
        return hid::nodeAddress(node, address);
    }
    std::optional<Node> parentNode(const Node& node) const {
        return hid::parentNode(sysfsRoot, node);
    }
};

// The location key of a hidraw interface, or nothing when no counting ancestor gave an address.
std::optional<std::string> buildLocationKey(const std::string& sysfsRoot,
                                            const std::string& hidrawName);

}  // namespace tavrik::hid
