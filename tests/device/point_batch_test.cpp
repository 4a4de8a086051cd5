// Reads of many points at once: a snapshot holds one state of the table.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device_fixture.h"

namespace tavrik {
namespace {

using test::basicModule;
using test::eventually;

constexpr size_t kInputs = 32;
constexpr size_t kOutputs = 4;

// kInputs inputs, kOutputs outputs, a watchdog.
std::vector<uint8_t> batchConfig() {
    std::vector<uint8_t> config(kInputs, 0);
    config.insert(config.end(), kOutputs, 1);
    config.push_back(5);
    return config;
}

class PointBatchTest : public test::DeviceTest {
  protected:
    void startModule() {
        bus.add(basicModule("P1", batchConfig()));
        ASSERT_EQ(device.open("P1"), Ok);
        ASSERT_EQ(device.start(), Ok);
    }
};

TEST_F(PointBatchTest, SnapshotNeverMixesTwoStatesOfTheModule) {
    startModule();
    std::atomic<bool> flipping{true};
    int flips = 0;
    std::thread flipper([&] {
        // Every input flips in one state event, again and again.
        for (int round = 0; round < 300 && flipping; ++round) {
            const int32_t value = round % 2 == 0 ? 1 : 0;
            bus.withModule(0, [value](virt::VirtualModule& m) {
                for (uint32_t i = 0; i < kInputs; ++i) {
                    m.setPoint(Inputs, i, value);
                }
                return 0;
            });
            bus.sendStateEvent(0);
            if (!eventually([&] { return device.getValue(Inputs, kInputs - 1) == value; })) {
                break;
            }
            ++flips;
        }
        flipping = false;
    });
    size_t snapshots = 0;
    size_t malformed = 0;  // not every point of every type
    size_t mixed = 0;
    while (flipping) {
        TavrikPointValues values;
        ++snapshots;
        if (device.getValues(values) != Ok || values[Inputs].size() != kInputs ||
            values[Outputs].size() != kOutputs || values[Watchdog].size() != 1u) {
            ++malformed;
            continue;
        }
        for (int32_t v : values[Inputs]) {
            if (v != values[Inputs][0]) {
                ++mixed;
                break;
            }
        }
    }
    flipper.join();
    EXPECT_EQ(flips, 300);
    EXPECT_EQ(malformed, 0u);
    EXPECT_EQ(mixed, 0u) << "of " << snapshots << " snapshots";
}

TEST_F(PointBatchTest, ClosedDeviceGivesNoSnapshot) {
    bus.add(basicModule("P1", batchConfig()));
    TavrikPointValues values;
    values[Inputs] = {7};
    EXPECT_EQ(device.getValues(values), DeviceNotOpen);
    EXPECT_TRUE(values[Inputs].empty());
    ASSERT_EQ(device.open("P1"), Ok);
    device.close();
    EXPECT_EQ(device.getValues(values), DeviceNotOpen);
}

}  // namespace
}  // namespace tavrik
