// setValue on every writable type with values in and out of the point's width: what it
// returns, what the point reads back and what the module receives.
#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "device_fixture.h"

namespace tavrik {
namespace {

using test::basicModule;
using test::eventually;

// Outputs 0 (plain) and 1 (relay), then one point of each other writable type. Every
// one-bit point starts at 1, so a value whose low bit is 0 and is sent anyway would show as
// an output switched off; the 16-bit points start at 7.
const std::vector<uint8_t> kWritable = {1, 65, 4, 5, 6, 7, 12};

struct SetValueCase {
    uint32_t type;
    int32_t index;
    int32_t value;
    int result;
    // What the module holds after an exchange; none for the pulse, which returns by itself.
    std::optional<int32_t> module;
};

void PrintTo(const SetValueCase& c, std::ostream* os) {
    *os << ioTypeName(c.type) << "[" << c.index << "] = " << c.value;
}

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

class SetValueTest : public test::DeviceTest, public ::testing::WithParamInterface<SetValueCase> {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        virt::ModuleConfig module = basicModule("S1", kWritable);
        module.initialValues = {{Outputs, 0, 1},    {Outputs, 1, 1},   {RaidLeds, 0, 1},
                                {Watchdog, 0, 7},   {PoeEnable, 0, 1}, {PoeReset, 0, 1},
                                {PoeMaxPower, 0, 7}};
        bus.add(module);
        ASSERT_EQ(device.open("S1"), Ok);
        ASSERT_EQ(device.start(), Ok);
    }

    size_t exchanges() { return requestsWithMode(CmdStateBasic, ModeRunning); }
};

TEST_P(SetValueTest, TakesOnlyValuesThePointCanCarry) {
    const SetValueCase& c = GetParam();
    const int before = device.getValue(c.type, c.index);
    EXPECT_EQ(device.setValue(c.type, c.index, c.value), c.result);
    EXPECT_EQ(device.getValue(c.type, c.index), c.result == Ok ? c.value : before);

    // One more exchange, whatever the write did.
    const size_t sent = exchanges();
    clock.advanceMs(900);
    ASSERT_TRUE(eventually([&] { return exchanges() > sent; }));
    ASSERT_EQ(device.waitForExchange(5000), Ok);
    if (c.module) {
        EXPECT_EQ(modulePoint(c.type, static_cast<uint32_t>(c.index)), *c.module);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OneBit, SetValueTest,
    ::testing::Values(SetValueCase{Outputs, 0, 0, Ok, 0}, SetValueCase{Outputs, 0, 1, Ok, 1},
                      SetValueCase{Outputs, 0, 2, InvalidParameterValue, 1},
                      SetValueCase{Outputs, 0, 3, InvalidParameterValue, 1},
                      SetValueCase{Outputs, 0, -1, InvalidParameterValue, 1},
                      SetValueCase{Outputs, 0, 0xFFFF, InvalidParameterValue, 1},
                      SetValueCase{Outputs, 0, kMax, InvalidParameterValue, 1},
                      SetValueCase{Outputs, 1, 0, Ok, 0},
                      SetValueCase{Outputs, 1, 2, InvalidParameterValue, 1},
                      SetValueCase{RaidLeds, 0, 0, Ok, 0},
                      SetValueCase{RaidLeds, 0, 4, InvalidParameterValue, 1},
                      SetValueCase{PoeEnable, 0, 0, Ok, 0},
                      SetValueCase{PoeEnable, 0, 2, InvalidParameterValue, 1},
                      SetValueCase{PoeReset, 0, 1, Ok, std::nullopt},
                      SetValueCase{PoeReset, 0, 2, InvalidParameterValue, std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    SixteenBit, SetValueTest,
    ::testing::Values(SetValueCase{Watchdog, 0, 2, Ok, 2},
                      SetValueCase{Watchdog, 0, 0xFFFF, Ok, 0xFFFF},
                      SetValueCase{Watchdog, 0, 0x10000, InvalidParameterValue, 7},
                      SetValueCase{Watchdog, 0, -1, InvalidParameterValue, 7},
                      SetValueCase{PoeMaxPower, 0, 2, Ok, 2},
                      SetValueCase{PoeMaxPower, 0, 0xFFFF, Ok, 0xFFFF},
                      SetValueCase{PoeMaxPower, 0, 0x10000, InvalidParameterValue, 7},
                      SetValueCase{PoeMaxPower, 0, kMax, InvalidParameterValue, 7}));

}  // namespace
}  // namespace tavrik
