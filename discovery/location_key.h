// The location key of an enumerated interface: the bus addresses of the USB and PCI nodes on
// the way from its device node to the root of the device tree, root first. The walk is the
// same on every platform; each platform supplies the tree's operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::hid {

constexpr int kLocationKeyMaxNodes = 10;  // the start node and at most 9 ancestors
constexpr size_t kNodeIdSize = 128;

// A node counts when its ID begins with "USB" and contains no "MI_" (a USB device or hub, not
// an interface of a composite device), or begins with "PCI". Case-sensitive.
bool countsInLocationKey(const char* nodeId);

// "%08x." per address, the last collected (nearest the root) first.
std::string formatLocationKey(const std::vector<uint32_t>& nearestFirst);

// Tree provides, for its Interface and Node types:
//   std::optional<Node> interfaceNode(const Interface&) const;   // the node that carries it
//   bool nodeId(const Node&, char* buffer, size_t size) const;   // the ID as text
//   bool nodeAddress(const Node&, uint32_t* address) const;      // its bus address
//   std::optional<Node> parentNode(const Node&) const;           // nothing at the root
// Any failed query ends the walk; the key holds what was collected until then, and nothing
// when that is no address at all.
template <class Tree>
std::optional<std::string> buildLocationKey(const Tree& tree,
                                            const typename Tree::Interface& carried) {
    std::optional<typename Tree::Node> start = tree.interfaceNode(carried);
    if (!start) {
        return std::nullopt;
    }
    typename Tree::Node node = std::move(*start);
    std::vector<uint32_t> addresses;
    for (int examined = 1;; ++examined) {
        char id[kNodeIdSize];
        if (!tree.nodeId(node, id, sizeof id)) {
            break;
        }
        if (countsInLocationKey(id)) {
            uint32_t address;
            if (!tree.nodeAddress(node, &address)) {
                break;
            }
            addresses.push_back(address);
        }
        if (examined == kLocationKeyMaxNodes) {
            break;
        }
        std::optional<typename Tree::Node> parent = tree.parentNode(node);
        if (!parent) {
            break;
        }
        node = std::move(*parent);
    }
    if (addresses.empty()) {
        return std::nullopt;
    }
    return formatLocationKey(addresses);
}

}  // namespace tavrik::hid
