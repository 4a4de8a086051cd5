#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "scratch_dir.h"
#include "sysfs_device_tree.h"

namespace fs = std::filesystem;

namespace tavrik::hid {
namespace {

// A small sysfs tree in a temporary directory: device directories with subsystem links and
// uevent files, and class/hidraw entries pointing at the HID nodes.
class FakeSysfs {
  public:
    FakeSysfs() {
        for (const char* bus : {"usb", "pci", "hid", "platform"}) {
            fs::create_directories(root() + "/bus/" + bus);
        }
        fs::create_directories(root() + "/devices");
    }
    const std::string& root() const { return scratch_.path(); }

    // relPath is below devices/; the first element of a path may stay without subsystem.
    void node(const std::string& relPath, const std::string& subsystem,
              const std::string& uevent = std::string()) {
        const std::string dir = root() + "/devices/" + relPath;
        fs::create_directories(dir);
        if (!subsystem.empty()) {
            fs::create_directory_symlink(root() + "/bus/" + subsystem, dir + "/subsystem");
        }
        std::ofstream(dir + "/uevent") << uevent;
    }
    void usbDevice(const std::string& relPath) {
        node(relPath, "usb", "DEVTYPE=usb_device\nPRODUCT=4d8/f713/100\n");
    }
    void usbInterface(const std::string& relPath) {
        node(relPath, "usb", "DEVTYPE=usb_interface\nPRODUCT=4d8/f713/100\nINTERFACE=3/0/0\n");
    }
    void pciFunction(const std::string& relPath) {
        node(relPath, "pci", "PCI_CLASS=C0330\nPCI_ID=8086:A36D\n");
    }
    void hidraw(const std::string& name, const std::string& target) {
        const std::string dir = root() + "/class/hidraw/" + name;
        fs::create_directories(dir);
        fs::create_directory_symlink(target, dir + "/device");
    }
    void hidrawOn(const std::string& name, const std::string& relPath) {
        hidraw(name, root() + "/devices/" + relPath);
    }

  private:
    test::ScratchDir scratch_{"sysfs"};
};

const std::string kPci = "pci0000:00/0000:00:14.0";
const std::string kHid = "0003:04D8:F713.0001";

class SysfsDeviceTreeTest : public ::testing::Test {
  protected:
    // A module on port 3 of a hub on port 1 of root hub usb1 below PCI 0000:00:14.0.
    void buildExampleTree() {
        sysfs.node("pci0000:00", "");
        sysfs.pciFunction(kPci);
        sysfs.usbDevice(kPci + "/usb1");
        sysfs.usbDevice(kPci + "/usb1/1-1");
        sysfs.usbDevice(kPci + "/usb1/1-1/1-1.3");
        sysfs.usbInterface(kPci + "/usb1/1-1/1-1.3/1-1.3:1.0");
        sysfs.node(kPci + "/usb1/1-1/1-1.3/1-1.3:1.0/" + kHid, "hid");
        sysfs.hidrawOn("hidraw0", kPci + "/usb1/1-1/1-1.3/1-1.3:1.0/" + kHid);
    }

    std::optional<std::string> key(const char* name = "hidraw0") {
        return buildLocationKey(sysfs.root(), name);
    }

    std::string nodePath(const std::string& relPath) {
        return fs::canonical(sysfs.root() + "/devices/" + relPath).string();
    }

    FakeSysfs sysfs;
};

TEST_F(SysfsDeviceTreeTest, ExampleTreeGivesFourComponentsRootFirst) {
    buildExampleTree();
    EXPECT_EQ(key(), "00140000.00000000.00000001.00000003.");
}

TEST_F(SysfsDeviceTreeTest, NodeIdsFollowTheCountingRule) {
    buildExampleTree();
    const std::string device = kPci + "/usb1/1-1/1-1.3";
    struct {
        std::string relPath;
        const char* id;
    } cases[] = {
        {kPci, "PCI\\VEN_8086&DEV_A36D\\0000:00:14.0"},
        {kPci + "/usb1", "USB\\VID_04D8&PID_F713\\usb1"},
        {device, "USB\\VID_04D8&PID_F713\\1-1.3"},
        {device + "/1-1.3:1.0", "USB\\VID_04D8&PID_F713&MI_00\\1-1.3:1.0"},
        {device + "/1-1.3:1.0/" + kHid, "HID\\0003:04D8:F713.0001"},
        {"pci0000:00", "NODE\\pci0000:00"},
    };
    for (const auto& c : cases) {
        char id[128];
        ASSERT_TRUE(nodeId(nodePath(c.relPath), id, sizeof id)) << c.relPath;
        EXPECT_STREQ(id, c.id);
    }
}

TEST_F(SysfsDeviceTreeTest, NodeAddresses) {
    sysfs.node("pci0000:00", "");
    sysfs.pciFunction("pci0000:00/0000:00:1c.7");
    sysfs.usbDevice("pci0000:00/0000:00:1c.7/usb2");
    sysfs.usbDevice("pci0000:00/0000:00:1c.7/usb2/2-4");
    sysfs.usbDevice("pci0000:00/0000:00:1c.7/usb2/2-4/2-4.12");
    sysfs.usbInterface("pci0000:00/0000:00:1c.7/usb2/2-4/2-4.12/2-4.12:1.0");
    struct {
        std::string relPath;
        bool ok;
        uint32_t address;
    } cases[] = {
        {"pci0000:00/0000:00:1c.7", true, 0x001c0007},
        {"pci0000:00/0000:00:1c.7/usb2", true, 0},
        {"pci0000:00/0000:00:1c.7/usb2/2-4", true, 4},
        {"pci0000:00/0000:00:1c.7/usb2/2-4/2-4.12", true, 12},
        {"pci0000:00/0000:00:1c.7/usb2/2-4/2-4.12/2-4.12:1.0", false, 0},
        {"pci0000:00", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t address = 0xdeadbeef;
        EXPECT_EQ(nodeAddress(nodePath(c.relPath), &address), c.ok) << c.relPath;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.relPath;
        }
    }
}

TEST_F(SysfsDeviceTreeTest, ParentEndsAtDevicesDirectory) {
    buildExampleTree();
    const std::string devices = fs::canonical(sysfs.root() + "/devices").string();
    EXPECT_EQ(parentNode(sysfs.root(), nodePath("pci0000:00")), devices);
    EXPECT_EQ(parentNode(sysfs.root(), devices), std::nullopt);
    EXPECT_EQ(parentNode(sysfs.root(), "/elsewhere/node"), std::nullopt);
}

TEST_F(SysfsDeviceTreeTest, PciBridgeAboveControllerLeadsTheKey) {
    sysfs.node("pci0000:00", "");
    sysfs.pciFunction("pci0000:00/0000:00:1c.0");
    sysfs.pciFunction("pci0000:00/0000:00:1c.0/0000:03:00.0");
    const std::string root = "pci0000:00/0000:00:1c.0/0000:03:00.0/usb3";
    sysfs.usbDevice(root);
    sysfs.usbDevice(root + "/3-2");
    sysfs.usbInterface(root + "/3-2/3-2:1.0");
    sysfs.node(root + "/3-2/3-2:1.0/" + kHid, "hid");
    sysfs.hidrawOn("hidraw1", root + "/3-2/3-2:1.0/" + kHid);
    EXPECT_EQ(key("hidraw1"), "001c0000.00000000.00000000.00000002.");
}

TEST_F(SysfsDeviceTreeTest, FailedAddressEndsKeyAtCollectedAddresses) {
    // A root hub whose name carries no address: only the hub ports below it remain.
    sysfs.node("pci0000:00", "");
    sysfs.pciFunction(kPci);
    const std::string hub = kPci + "/roothub";
    sysfs.usbDevice(hub);
    sysfs.usbDevice(hub + "/1-1");
    sysfs.usbDevice(hub + "/1-1/1-1.3");
    sysfs.usbInterface(hub + "/1-1/1-1.3/1-1.3:1.0");
    sysfs.node(hub + "/1-1/1-1.3/1-1.3:1.0/" + kHid, "hid");
    sysfs.hidrawOn("hidraw0", hub + "/1-1/1-1.3/1-1.3:1.0/" + kHid);
    EXPECT_EQ(key(), "00000001.00000003.");
}

TEST_F(SysfsDeviceTreeTest, UnreadableIdEndsKey) {
    // The USB devices below a node whose ID cannot be read, or is too long for the ID buffer.
    sysfs.node("pci0000:00", "");
    sysfs.pciFunction(kPci);
    const std::string longName(130, 'x');
    sysfs.node(kPci + "/" + longName, "platform");
    sysfs.usbDevice(kPci + "/" + longName + "/usb1");
    sysfs.usbDevice(kPci + "/" + longName + "/usb1/1-2");
    sysfs.node(kPci + "/" + longName + "/usb1/1-2/" + kHid, "hid");
    sysfs.hidrawOn("hidraw0", kPci + "/" + longName + "/usb1/1-2/" + kHid);

    sysfs.node(kPci + "/usb4", "usb", "DEVTYPE=usb_device\n");  // no PRODUCT
    sysfs.usbDevice(kPci + "/usb4/4-1");
    sysfs.node(kPci + "/usb4/4-1/" + kHid, "hid");
    sysfs.hidrawOn("hidraw1", kPci + "/usb4/4-1/" + kHid);

    EXPECT_EQ(key("hidraw0"), "00000000.00000002.");
    EXPECT_EQ(key("hidraw1"), "00000001.");
}

TEST_F(SysfsDeviceTreeTest, AtMostTenNodesAreExamined) {
    // hid, interface, seven USB devices and the root hub make ten; the PCI node is the 11th.
    sysfs.node("pci0000:00", "");
    sysfs.pciFunction(kPci);
    std::string path = kPci + "/usb1";
    sysfs.usbDevice(path);
    std::string name = "1-1";
    for (int port = 1; port <= 7; ++port) {
        if (port > 1) {
            name += "." + std::to_string(port);
        }
        path += "/" + name;
        sysfs.usbDevice(path);
    }
    sysfs.usbInterface(path + "/" + name + ":1.0");
    sysfs.node(path + "/" + name + ":1.0/" + kHid, "hid");
    sysfs.hidrawOn("hidraw0", path + "/" + name + ":1.0/" + kHid);
    EXPECT_EQ(key(), "00000000.00000001.00000002.00000003.00000004.00000005.00000006.00000007.");
}

TEST_F(SysfsDeviceTreeTest, NoCountingAncestorGivesNoKey) {
    sysfs.node("platform", "");
    sysfs.node("platform/i2c-1", "platform");
    sysfs.node("platform/i2c-1/" + kHid, "hid");
    sysfs.hidrawOn("hidraw0", "platform/i2c-1/" + kHid);
    EXPECT_EQ(key(), std::nullopt);
}

TEST_F(SysfsDeviceTreeTest, CountingTestsAreCaseSensitive) {
    // Subsystems whose capitals would read as USB or PCI keep the kernel's lower case.
    fs::create_directories(sysfs.root() + "/bus/usbmisc");
    fs::create_directories(sysfs.root() + "/bus/pci_express");
    sysfs.node("pci0000:00", "");
    sysfs.node("pci0000:00/port1", "pci_express");
    sysfs.node("pci0000:00/port1/misc0", "usbmisc");
    sysfs.node("pci0000:00/port1/misc0/" + kHid, "hid");
    sysfs.hidrawOn("hidraw0", "pci0000:00/port1/misc0/" + kHid);
    char id[128];
    ASSERT_TRUE(nodeId(nodePath("pci0000:00/port1/misc0"), id, sizeof id));
    EXPECT_STREQ(id, "usbmisc\\misc0");
    EXPECT_EQ(key(), std::nullopt);
}

TEST_F(SysfsDeviceTreeTest, InterfaceNodeMustLieBelowDevices) {
    buildExampleTree();
    const std::string outside = sysfs.root() + "/outside";
    fs::create_directories(outside);
    sysfs.hidraw("hidraw5", outside);
    sysfs.hidraw("hidraw6", sysfs.root() + "/devices");
    EXPECT_EQ(interfaceNode(sysfs.root(), "hidraw5"), std::nullopt);
    EXPECT_EQ(interfaceNode(sysfs.root(), "hidraw6"), std::nullopt);
    EXPECT_EQ(interfaceNode(sysfs.root(), "hidraw9"), std::nullopt);
    EXPECT_EQ(interfaceNode(sysfs.root(), "../hidraw/hidraw0"), std::nullopt);
    EXPECT_EQ(interfaceNode(sysfs.root(), ""), std::nullopt);
    EXPECT_EQ(key("hidraw5"), std::nullopt);
    EXPECT_EQ(interfaceNode(sysfs.root(), "hidraw0"),
              nodePath(kPci + "/usb1/1-1/1-1.3/1-1.3:1.0/" + kHid));
}

}  // namespace
}  // namespace tavrik::hid
