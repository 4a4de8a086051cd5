// Reads and writes of many points at once: a snapshot holds one state of the table, a batch
// goes out in one exchange or not at all.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device_fixture.h"
#include "point_layout.h"

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

    size_t exchanges() { return requestsWithMode(CmdStateBasic, ModeRunning); }

    // The output values of every running state request the module received, in order.
    std::vector<std::vector<int32_t>> sentOutputs() {
        const virt::PointLayout layout = virt::layoutFor(batchConfig(), false);
        return bus.withModule(0, [&layout](virt::VirtualModule& m) {
            std::vector<std::vector<int32_t>> sent;
            for (const TavrikMessage& r : m.requests()) {
                if (r.command() != CmdStateBasic || r.bytes[msg::Parameter] != ModeRunning) {
                    continue;
                }
                const std::vector<uint8_t> image(r.bytes + msg::BasicImage,
                                                 r.bytes + msg::BasicImage + msg::BasicChunk);
                std::vector<int32_t> outputs;
                for (uint32_t i = 0; i < kOutputs; ++i) {
                    const virt::PointSlot* slot = layout.find(Outputs, i);
                    outputs.push_back(virt::hostValue(*slot, virt::readRaw(image, *slot)));
                }
                sent.push_back(outputs);
            }
            return sent;
        });
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

TEST_F(PointBatchTest, ClosedDeviceGivesNoSnapshotAndTakesNoBatch) {
    bus.add(basicModule("P1", batchConfig()));
    TavrikPointValues values;
    values[Inputs] = {7};
    EXPECT_EQ(device.getValues(values), DeviceNotOpen);
    EXPECT_TRUE(values[Inputs].empty());
    EXPECT_EQ(device.setValues({{Outputs, 0, 1}}), DeviceNotOpen);
    ASSERT_EQ(device.open("P1"), Ok);
    device.close();
    EXPECT_EQ(device.getValues(values), DeviceNotOpen);
    EXPECT_EQ(device.setValues({{Outputs, 0, 1}}), DeviceNotOpen);
}

TEST_F(PointBatchTest, BatchGoesOutInOneExchange) {
    startModule();
    // Batches follow one another without a pause, so that exchanges fall among them; each one
    // must carry whole batches only.
    const size_t before = exchanges();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int32_t value = 0;
    while (exchanges() < before + 20) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        value = 1 - value;
        std::vector<TavrikPointWrite> writes;
        for (int32_t i = 0; i < static_cast<int32_t>(kOutputs); ++i) {
            writes.push_back({Outputs, i, value});
        }
        ASSERT_EQ(device.setValues(writes), Ok);
    }
    ASSERT_EQ(device.waitForExchange(5000), Ok);
    const std::vector<std::vector<int32_t>> sent = sentOutputs();
    for (const std::vector<int32_t>& outputs : sent) {
        EXPECT_EQ(outputs, std::vector<int32_t>(kOutputs, outputs[0]));
    }
    EXPECT_EQ(sent.back(), std::vector<int32_t>(kOutputs, value));
}

struct BadBatchCase {
    const char* name;
    std::vector<TavrikPointWrite> writes;
    int result;
};

void PrintTo(const BadBatchCase& c, std::ostream* os) {
    *os << c.name;
}

class BadBatchTest : public PointBatchTest, public ::testing::WithParamInterface<BadBatchCase> {};

TEST_P(BadBatchTest, OneBadWriteSetsNothing) {
    startModule();
    EXPECT_EQ(device.setValues(GetParam().writes), GetParam().result);
    for (int32_t i = 0; i < static_cast<int32_t>(kOutputs); ++i) {
        EXPECT_EQ(device.getValue(Outputs, i), 0);
    }
    EXPECT_EQ(device.getValue(Watchdog, 0), 0);
    // Nothing waits to go out: one more exchange leaves the module as it was.
    const size_t sent = exchanges();
    clock.advanceMs(900);
    ASSERT_TRUE(eventually([&] { return exchanges() > sent; }));
    ASSERT_EQ(device.waitForExchange(5000), Ok);
    for (uint32_t i = 0; i < kOutputs; ++i) {
        EXPECT_EQ(modulePoint(Outputs, i), 0);
    }
    EXPECT_EQ(modulePoint(Watchdog, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Batches, BadBatchTest,
    ::testing::Values(
        BadBatchCase{"OneBitGivenTwo",
                     {{Outputs, 0, 1}, {Watchdog, 0, 30}, {Outputs, 1, 2}},
                     InvalidParameterValue},
        BadBatchCase{"NegativeValue", {{Outputs, 0, 1}, {Outputs, 1, -1}}, InvalidParameterValue},
        BadBatchCase{"WideBeyondSixteenBits",
                     {{Outputs, 0, 1}, {Watchdog, 0, 0x10000}},
                     InvalidParameterValue},
        BadBatchCase{"NotWritable", {{Outputs, 0, 1}, {Inputs, 0, 1}}, InvalidParameterValue},
        BadBatchCase{"PointPastTheRow", {{Outputs, 0, 1}, {Outputs, 4, 1}}, IoPointOutOfRange},
        BadBatchCase{"NegativeIndex", {{Outputs, 0, 1}, {Outputs, -1, 1}}, IoPointOutOfRange},
        BadBatchCase{"TypeTheModuleLacks", {{Outputs, 0, 1}, {RaidLeds, 0, 1}}, IoPointOutOfRange},
        BadBatchCase{"NoSuchType", {{kIoTypeCount, 0, 1}, {Outputs, 0, 1}}, IoPointOutOfRange}),
    [](const auto& info) { return std::string(info.param.name); });

// Open options: a holder that serves the module to clients which apply tavrik.ini themselves
// sees every point and the module's own name.
struct ConfigCase {
    const char* name;
    bool useConfigFile;
    const char* infoName;
    size_t outputs;
    const char* expectedName;
    int32_t configIndex;
};

class OpenWithoutConfigTest : public test::DeviceTest,
                              public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(OpenWithoutConfigTest, LimitAndNameApplyOnlyWithTheFile) {
    const ConfigCase& c = GetParam();
    virt::ModuleConfig module = basicModule("L1", {0, 0, 1, 1, 1, 1});
    module.infoName = c.infoName;
    bus.add(module);
    writeConfig("[device2]\nserial=L1\nname=Front door\noutputs=1\ninputs=0\n");
    OpenOptions options;
    options.useConfigFile = c.useConfigFile;
    ASSERT_EQ(device.open("L1", options), Ok);
    EXPECT_EQ(device.pointCount(Outputs), c.outputs);
    EXPECT_EQ(device.pointCount(Inputs), c.useConfigFile ? 0u : 2u);
    EXPECT_EQ(device.name(), c.expectedName);
    EXPECT_EQ(device.configIndex(), c.configIndex);
    ASSERT_EQ(device.start(), Ok);
    EXPECT_EQ(device.setValue(Outputs, 3, 1), c.useConfigFile ? IoPointOutOfRange : Ok);
}

INSTANTIATE_TEST_SUITE_P(Options, OpenWithoutConfigTest,
                         ::testing::Values(ConfigCase{"WithFile", true, "Rack", 1, "Front door", 2},
                                           ConfigCase{"WithoutFile", false, "Rack", 4, "Rack", -1},
                                           ConfigCase{"WithoutFileNoInfoName", false, "", 4, "",
                                                      -1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrik
