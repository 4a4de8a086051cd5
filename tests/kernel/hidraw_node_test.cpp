// Finding a uhid device's hidraw node in a sysfs tree laid out in a temporary directory.
#include "hidraw_node.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "scratch_dir.h"

namespace tavrik::sim {
namespace {

namespace fs = std::filesystem;

class SysfsTree : public ::testing::Test {
  protected:
    void addNode(const std::string& name, const std::string& uevent) {
        const fs::path device = root_ / "devices/virtual/misc/uhid" / name;
        fs::create_directories(device);
        std::ofstream(device / "uevent") << uevent;
        fs::create_directories(root_ / "class/hidraw" / name);
        fs::create_directory_symlink(device, root_ / "class/hidraw" / name / "device");
    }

    test::ScratchDir scratch_{"hidraw_node_test"};
    const fs::path root_ = scratch_.path();
};

TEST(Uevent, FindsTheValueOfAKey) {
    const std::string uevent = "DRIVER=hid-generic\nHID_PHYS=tavrik_sim/module2\nHID_UNIQ=A\n";
    EXPECT_EQ(ueventValue(uevent, "HID_PHYS"), "tavrik_sim/module2");
    EXPECT_EQ(ueventValue(uevent, "HID_UNIQ"), "A");
    EXPECT_EQ(ueventValue(uevent, "HID"), std::nullopt);  // a prefix of a key is not the key
    EXPECT_EQ(ueventValue("", "HID_PHYS"), std::nullopt);
}

TEST_F(SysfsTree, FindsTheNodeByPhys) {
    addNode("hidraw0", "HID_PHYS=tavrik_sim/module1\n");
    addNode("hidraw1", "HID_PHYS=tavrik_sim/module10\n");
    addNode("hidraw2", "HID_PHYS=tavrik_sim/module11\n");
    EXPECT_EQ(hidrawNodeByPhys(root_, "tavrik_sim/module10"), "/dev/hidraw1");
    EXPECT_EQ(hidrawNodeByPhys(root_, "tavrik_sim/module1"), "/dev/hidraw0");
    EXPECT_EQ(hidrawNodeByPhys(root_, "tavrik_sim/module3"), std::nullopt);
}

TEST_F(SysfsTree, NoHidrawClassMeansNoNode) {
    EXPECT_EQ(hidrawNodeByPhys(root_, "tavrik_sim/module1"), std::nullopt);
}

}  // namespace
}  // namespace tavrik::sim
