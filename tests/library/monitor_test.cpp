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

TEST(HotplugMonitor, UpgradeShowsTheModuleLeaveAndComeBackInEachMode) {
    std::string image = test::imageBaseRecord();
    for (uint16_t record = 0; record < 8; ++record) {
        image += test::hexRecord(0x00, static_cast<uint16_t>(0x6000 + 16 * record),
                                 std::vector<uint8_t>(16, static_cast<uint8_t>(record)));
    }
    const std::string hexFile = kEnvironment->file("firmware.hex", image + test::endOfFileRecord());
    Monitor monitor;
    monitor.setScanInterval(std::chrono::milliseconds(20));
    ASSERT_EQ(monitor.start(), Ok);
    drain(monitor);
    ASSERT_EQ(programFirmware(hexFile, "M-A"), BootOk);
    // The application is back once the upgrade returns; the last scan may still be due.
    std::vector<Change> changes;
    HotplugEvent event;
    while (changes.size() < 4 && monitor.readEvent(event, 4000) == 1) {
        changes.push_back({event.arrived, {event.module.serial, event.module.mode}});
        EXPECT_FALSE(event.initial);
    }
    EXPECT_EQ(changes, (std::vector<Change>{{false, {"M-A", Mode::Application}},
                                            {true, {"M-A", Mode::Bootloader}},
                                            {false, {"M-A", Mode::Bootloader}},
                                            {true, {"M-A", Mode::Application}}}));
}

}  // namespace
}  // namespace tavrik
