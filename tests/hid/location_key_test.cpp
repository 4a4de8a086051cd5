// The location-key walk over a fake device tree, as each platform's tree feeds it.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "location_key.h"

namespace tavrik::hid {
namespace {

// A node's ID (nothing: the query fails), its address (nothing: fails) and parent index
// (-1: the root). Interface 0 is carried by node 0; no other interface has a node.
struct FakeNode {
    std::optional<std::string> id;
    std::optional<uint32_t> address;
    int parent;
};

struct FakeTree {
    using Interface = int;
    using Node = int;
    std::vector<FakeNode> nodes;
    mutable std::vector<int> examined;

    std::optional<int> interfaceNode(int carried) const {
        return carried == 0 ? std::optional<int>(0) : std::nullopt;
    }

    bool nodeId(int node, char* buffer, size_t size) const {
        examined.push_back(node);
        const std::optional<std::string>& id = nodes[node].id;
        if (!id || id->size() >= size) {
            return false;
        }
        std::memcpy(buffer, id->c_str(), id->size() + 1);
        return true;
    }
    bool nodeAddress(int node, uint32_t* address) const {
        if (!nodes[node].address) {
            return false;
        }
        *address = *nodes[node].address;
        return true;
    }
    std::optional<int> parentNode(int node) const {
        const int parent = nodes[node].parent;
        return parent < 0 ? std::nullopt : std::optional<int>(parent);
    }
};

const char kHid[] = "HID\\VID_04D8&PID_F713\\7&2A1B&0&0000";
const char kModule[] = "USB\\VID_04D8&PID_F713\\TAV0001";
const char kHub[] = "USB\\VID_05E3&PID_0608\\6&1C2D&0&1";
const char kRootHub[] = "USB\\ROOT_HUB30\\4&3E5F&0&0";
const char kController[] = "PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&11583659&0&A0";
const char kAcpi[] = "ACPI\\PNP0A08\\0";

struct WalkCase {
    const char* name;
    std::vector<FakeNode> nodes;
    std::optional<std::string> key;
};

class LocationKeyWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(LocationKeyWalkTest, KeyFromTree) {
    const FakeTree tree{GetParam().nodes, {}};
    EXPECT_EQ(buildLocationKey(tree, 0), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, LocationKeyWalkTest,
    ::testing::Values(
        // Port 3 of a hub on port 1 of a root hub, below the controller at PCI 0x14 function 0.
        WalkCase{"HubBelowPciController",
                 {{kHid, 7, 1},
                  {kModule, 3, 2},
                  {kHub, 1, 3},
                  {kRootHub, 0, 4},
                  {kController, 0x140000, 5},
                  {kAcpi, 9, -1}},
                 "00140000.00000000.00000001.00000003."},
        // The interface node of a composite device adds nothing; its parent still does.
        WalkCase{"CompositeInterfacePassedOver",
                 {{kHid, 7, 1},
                  {"USB\\VID_04D8&PID_F713&MI_00\\7&1&0&0000", 5, 2},
                  {kModule, 2, 3},
                  {kRootHub, 0, -1}},
                 "00000000.00000002."},
        WalkCase{"CountingIsCaseSensitive",
                 {{kHid, 7, 1},
                  {"usb\\VID_04D8&PID_F713\\X", 4, 2},
                  {"Pci\\VEN_1", 5, 3},
                  {kModule, 6, -1}},
                 "00000006."},
        // A failed query ends the walk with the addresses collected below it.
        WalkCase{"AddressFailureEndsWalk",
                 {{kHid, 7, 1},
                  {kModule, 3, 2},
                  {kHub, 1, 3},
                  {kRootHub, std::nullopt, 4},
                  {kController, 0x140000, -1}},
                 "00000001.00000003."},
        WalkCase{"IdFailureEndsWalk",
                 {{kHid, 7, 1}, {kModule, 3, 2}, {std::nullopt, 1, 3}, {kController, 0x10000, -1}},
                 "00000003."},
        WalkCase{"IdTooLongForBufferEndsWalk",
                 {{kHid, 7, 1},
                  {kModule, 3, 2},
                  {"USB\\" + std::string(kNodeIdSize, 'X'), 1, 3},
                  {kController, 0x10000, -1}},
                 "00000003."},
        WalkCase{"NoCountingNodeNoKey", {{kHid, 7, 1}, {kAcpi, 1, -1}}, std::nullopt},
        WalkCase{"FirstCountingNodeWithoutAddressNoKey",
                 {{kHid, 7, 1}, {kModule, std::nullopt, 2}, {kHub, 1, -1}},
                 std::nullopt},
        WalkCase{"HidNodeAloneNoKey", {{kHid, 7, -1}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// Eleven hubs above the interface: only the first ten nodes are examined, so the key holds
// the nine hub addresses among them, and the ancestors above are never asked.
TEST(LocationKeyWalk, AtMostTenNodesAreExamined) {
    FakeTree tree;
    tree.nodes.push_back({kHid, 0, 1});
    for (int i = 1; i <= 11; ++i) {
        tree.nodes.push_back({kHub, static_cast<uint32_t>(i), i < 11 ? i + 1 : -1});
    }
    EXPECT_EQ(buildLocationKey(tree, 0),
              "00000009.00000008.00000007.00000006.00000005.00000004.00000003.00000002."
              "00000001.");
    EXPECT_EQ(tree.examined.size(), static_cast<size_t>(kLocationKeyMaxNodes));
}

TEST(LocationKeyWalk, InterfaceWithoutNodeHasNoKey) {
    const FakeTree tree{{{kModule, 3, -1}}, {}};
    EXPECT_EQ(buildLocationKey(tree, 1), std::nullopt);
    EXPECT_TRUE(tree.examined.empty());
}

TEST(LocationKeyWalk, ComponentsAreEightLowerCaseDigits) {
    FakeTree tree{{{kModule, 0xABCDEF12u, 1}, {kController, 0xFFFFFFFFu, -1}}, {}};
    EXPECT_EQ(buildLocationKey(tree, 0), "ffffffff.abcdef12.");
}

}  // namespace
}  // namespace tavrik::hid
