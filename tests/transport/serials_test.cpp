#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavrik_connection.h"
#include "virtual_bus_fixture.h"

namespace tavrik {
namespace {

using test::basicModule;

class SerialsTest : public test::VirtualBusTest {
  protected:
    void addAt(const std::string& serial, const char* location, uint16_t pid = 0xF713) {
        virt::ModuleConfig module = basicModule(serial);
        if (location != nullptr) {
            module.location = location;
        }
        module.applicationPid = pid;
        bus.add(module);
    }

    std::vector<std::string> serials(const std::vector<DeviceId>& ids) {
        std::vector<std::string> out;
        enumerateSerials(ids, out);
        return out;
    }
};

TEST_F(SerialsTest, OrderedByLocationKeyNotByEnumeration) {
    addAt("C", "00140000.00000000.00000003.");
    addAt("A", "00140000.00000000.00000001.00000002.");
    addAt("B", "00140000.00000000.00000001.");  // a prefix sorts first
    addAt("D", "001d0000.00000000.00000001.");
    EXPECT_EQ(serials(applicationDeviceIds), (std::vector<std::string>{"B", "A", "C", "D"}));
}

TEST_F(SerialsTest, AbsentLocationSortsAsTheEmptyKeyAndTiesKeepCollectionOrder) {
    addAt("X", "00000001.");
    addAt("N1", nullptr);
    addAt("N2", nullptr, 0xF2F1);
    EXPECT_EQ(serials(applicationDeviceIds), (std::vector<std::string>{"N1", "N2", "X"}));
}

TEST_F(SerialsTest, DuplicateSerialIsListedOnceAtItsSmallestKey) {
    addAt("S", "00000005.");
    addAt("T", "00000003.");
    addAt("S", "00000002.", 0xF306);
    EXPECT_EQ(serials(applicationDeviceIds), (std::vector<std::string>{"S", "T"}));
}

TEST_F(SerialsTest, ModuleWithoutSerialStringIsSkipped) {
    virt::ModuleConfig anonymous = basicModule("");
    anonymous.usbSerial.reset();
    bus.add(anonymous);
    addAt("Z", "00000001.");
    EXPECT_EQ(serials(applicationDeviceIds), std::vector<std::string>{"Z"});
}

TEST_F(SerialsTest, OnlyTheGivenIdsAreEnumeratedAndExistingEntriesAreKept) {
    addAt("APP", "00000001.");
    virt::ModuleConfig boot = basicModule("BOOT");
    boot.startInBootloader = true;
    boot.location = "00000002.";
    bus.add(boot);
    EXPECT_EQ(serials(applicationDeviceIds), std::vector<std::string>{"APP"});
    EXPECT_EQ(serials(bootloaderDeviceIds), std::vector<std::string>{"BOOT"});

    std::vector<std::string> out = {"APP"};
    std::vector<DeviceId> both = applicationDeviceIds;
    both.insert(both.end(), bootloaderDeviceIds.begin(), bootloaderDeviceIds.end());
    enumerateSerials(both, out);
    EXPECT_EQ(out, (std::vector<std::string>{"APP", "BOOT"}));
}

TEST_F(SerialsTest, SerialIsNarrowedToLowBytes) {
    addAt("\xE9t\xE9", "00000001.");
    EXPECT_EQ(serials(applicationDeviceIds), std::vector<std::string>{"\xE9t\xE9"});
}

}  // namespace
}  // namespace tavrik
