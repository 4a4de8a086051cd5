// The hot-plug monitor on both paths. An upgrade is what changes modules here: the module
// leaves in application mode, arrives in its bootloader, and comes back.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "hex_text.h"
#include "scenario_environment.h"
#include "tavrik/tavrik.h"

namespace tavrik {
namespace {

test::ScenarioEnvironment* const kEnvironment =
    static_cast<test::ScenarioEnvironment*>(::testing::AddGlobalTestEnvironment(
        new test::ScenarioEnvironment("[module]\nserial = M-A\nlocation = 1-1\nerase_ms = 800\n"
                                      "[module]\nserial = M-B\nlocation = 1-2\nbootloader = 1\n")));

using Change = std::pair<bool, std::pair<std::string, Mode>>;  // arrived, serial and mode

std::vector<Change> drain(Monitor& monitor, std::vector<HotplugEvent>* events = nullptr) {
    std::vector<Change> changes;
    HotplugEvent event;
    while (monitor.readEvent(event, 0) == 1) {
        changes.push_back({event.arrived, {event.module.serial, event.module.mode}});
        if (events != nullptr) {
            events->push_back(event);
        }
    }
    return changes;
}

TEST(HotplugMonitor, StartReportsTheAttachedModulesAsInitialArrivals) {
    Monitor monitor;
    HotplugEvent event;
    EXPECT_EQ(monitor.readEvent(event, 0), DeviceNotOpen);
    ASSERT_EQ(monitor.start(), Ok);
    EXPECT_TRUE(test::pollsReadable(monitor.fd(), true));
    std::vector<HotplugEvent> events;
    EXPECT_EQ(drain(monitor, &events), (std::vector<Change>{{true, {"M-A", Mode::Application}},
                                                            {true, {"M-B", Mode::Bootloader}}}));
    for (const HotplugEvent& e : events) {
        EXPECT_TRUE(e.initial);
        EXPECT_EQ(e.module, attachedModules()[&e - &events[0]]);
    }
    EXPECT_TRUE(test::pollsReadable(monitor.fd(), false));
    EXPECT_EQ(monitor.readEvent(event, std::chrono::milliseconds(100)), 0);  // nothing changed
    monitor.stop();
    EXPECT_EQ(monitor.readEvent(event, 0), DeviceNotOpen);
    EXPECT_TRUE(test::pollsReadable(monitor.fd(), true));
}

std::string firmwareFile() {
    std::string image = test::imageBaseRecord();
    for (uint16_t record = 0; record < 8; ++record) {
        image += test::hexRecord(0x00, static_cast<uint16_t>(0x6000 + 16 * record),
                                 std::vector<uint8_t>(16, static_cast<uint8_t>(record)));
    }
    return kEnvironment->file("firmware.hex", image + test::endOfFileRecord());
}

// Upgrades M-A under a monitor that scans at that interval, and reads the first count changes
// that follow.
std::vector<Change> changesOfAnUpgrade(std::chrono::milliseconds scanInterval, size_t count) {
    const std::string hexFile = firmwareFile();
    Monitor monitor;
    monitor.setScanInterval(scanInterval);
    EXPECT_EQ(monitor.start(), Ok);
    drain(monitor);
    EXPECT_EQ(programFirmware(hexFile, "M-A"), BootOk);
    // The application is back once the upgrade returns; the last report may still be due.
    std::vector<Change> changes;
    HotplugEvent event;
    while (changes.size() < count && monitor.readEvent(event, 4000) == 1) {
        changes.push_back({event.arrived, {event.module.serial, event.module.mode}});
        EXPECT_FALSE(event.initial);
    }
    return changes;
}

// Through the service the module is back for programs once tavrikd serves it again: one opened
// on the report goes through the service and does not take the module from it.
TEST(HotplugMonitor, UpgradeShowsTheModuleLeaveAndComeBackInEachMode) {
    EXPECT_EQ(changesOfAnUpgrade(std::chrono::milliseconds(20), 4),
              (std::vector<Change>{{false, {"M-A", Mode::Application}},
                                   {true, {"M-A", Mode::Bootloader}},
                                   {false, {"M-A", Mode::Bootloader}},
                                   {true, {"M-A", Mode::Application}}}));
    Device dev;
    ASSERT_EQ(dev.open("M-A"), Ok);
    EXPECT_EQ(dev.viaService(), test::expectedViaService());
}

// With no scan due for an hour, only the service's signals can wake the monitor: the module
// leaves when the upgrade takes it from the service, and comes back when the service serves it
// again. (The bootloader in between is this process's own, which only a scan would see.)
TEST(HotplugMonitor, ServiceSignalsWakeTheMonitor) {
    if (!test::expectedViaService()) {
        GTEST_SKIP() << "only through the service";
    }
    EXPECT_EQ(changesOfAnUpgrade(std::chrono::hours(1), 2),
              (std::vector<Change>{{false, {"M-A", Mode::Application}},
                                   {true, {"M-A", Mode::Application}}}));
}

}  // namespace
}  // namespace tavrik
