#include <gtest/gtest.h>

#include "device_fixture.h"

namespace tavrik {
namespace {

using test::basicModule;
using test::DeviceTest;

TEST_F(DeviceTest, OpenReadsIdentityConfigurationAndState) {
    virt::ModuleConfig module = basicModule("A100", {0, 0, 0, 65, 1, 9});
    module.typeText = "TIO-4";
    module.firmwareVersion = "3.0.1";
    module.infoSerial = "INFO-A100";
    module.infoName = "Rack 7";
    module.hardwareVersion = "rev C";
    module.watchdogTime = 86400;
    module.initialValues = {{Inputs, 2, 1}, {Outputs, 1, 1}, {PoeVoltage, 0, 4800}};
    bus.add(module);

    ASSERT_EQ(device.open("A100"), Ok);
    EXPECT_EQ(device.status(), ApiThreadStopped);
    EXPECT_EQ(device.openKey(), "A100");
    EXPECT_EQ(device.typeText(), "TIO-4");
    EXPECT_EQ(device.firmwareVersion(), "3.0.1");
    EXPECT_EQ(device.serial(), "INFO-A100");
    EXPECT_EQ(device.name(), "Rack 7");
    EXPECT_EQ(device.hardwareVersion(), "rev C");
    EXPECT_EQ(device.watchdogTime(), 86400);
    EXPECT_EQ(device.configIndex(), -1);

    EXPECT_EQ(device.pointCount(Inputs), 3u);
    EXPECT_EQ(device.pointCount(Outputs), 2u);
    EXPECT_EQ(device.pointCount(PoeVoltage), 1u);
    EXPECT_EQ(device.pointCount(kIoTypeCount), 0u);
    EXPECT_TRUE(device.isRelay(Outputs, 0));
    EXPECT_FALSE(device.isRelay(Outputs, 1));
    // The opening exchange takes over every value, outputs included.
    EXPECT_EQ(device.getValue(Inputs, 2), 1);
    EXPECT_EQ(device.getValue(Inputs, 0), 0);
    EXPECT_EQ(device.getValue(Outputs, 1), 1);
    EXPECT_EQ(device.getValue(PoeVoltage, 0), 4800);
    EXPECT_EQ(device.getValue(Inputs, 3), IoPointOutOfRange);
    EXPECT_EQ(device.getValue(13, 0), IoPointOutOfRange);
    EXPECT_EQ(device.setValue(Inputs, 0, 1), InvalidParameterValue);
    EXPECT_EQ(device.getValue(Inputs, 0), 0);
}

TEST_F(DeviceTest, InformationBlockIsReadInThreeChunks) {
    bus.add(basicModule("A100"));
    ASSERT_EQ(device.open("A100"), Ok);
    std::vector<std::pair<int, int>> chunks;
    bus.withModule(0, [&chunks](virt::VirtualModule& m) {
        for (const TavrikMessage& r : m.requests()) {
            if (r.command() == CmdReadInfoBlock) {
                chunks.emplace_back(readU16(r.bytes + msg::BlockOffset), r.bytes[msg::BlockLength]);
            }
        }
        return 0;
    });
    EXPECT_EQ(chunks, (std::vector<std::pair<int, int>>{{0, 51}, {51, 51}, {102, 45}}));
}

TEST_F(DeviceTest, DamagedInformationBlockFailsOpenAndLeavesTheObjectReusable) {
    virt::ModuleConfig damaged = basicModule("BAD");
    damaged.infoDamaged = true;
    bus.add(damaged);
    bus.add(basicModule("GOOD"));

    EXPECT_EQ(device.open("BAD"), FlashError);
    EXPECT_EQ(device.status(), FlashError);
    EXPECT_EQ(device.name(), "");
    EXPECT_EQ(device.pointCount(Inputs), 0u);
    EXPECT_EQ(device.start(), FlashError);

    ASSERT_EQ(device.open("GOOD"), Ok);
    EXPECT_EQ(device.serial(), "GOOD");
    EXPECT_EQ(device.pointCount(Inputs), 4u);
}

TEST_F(DeviceTest, OpenFailuresAreReported) {
    virt::ModuleConfig busy = basicModule("B1");
    busy.busy = true;
    bus.add(busy);
    EXPECT_EQ(device.open("B1"), DeviceBusy);
    EXPECT_EQ(device.open("NOPE"), UnableToOpenDevice);
    EXPECT_EQ(device.status(), UnableToOpenDevice);
}

struct LimitCase {
    const char* setting;
    size_t outputs;
};

class DeviceLimitTest : public DeviceTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(DeviceLimitTest, ConfigurationLimitsOnlyHidePoints) {
    bus.add(basicModule("L1", {0, 0, 1, 1, 1, 1}));
    writeConfig(std::string("[device0]\nserial=L1\n") + GetParam().setting + "\n");
    ASSERT_EQ(device.open("L1"), Ok);
    EXPECT_EQ(device.configIndex(), 0);
    EXPECT_EQ(device.pointCount(Outputs), GetParam().outputs);
    EXPECT_EQ(device.pointCount(Inputs), 2u);
}

INSTANTIATE_TEST_SUITE_P(Limits, DeviceLimitTest,
                         ::testing::Values(LimitCase{"outputs=1", 1}, LimitCase{"outputs=6", 4},
                                           LimitCase{"outputs=0", 0}, LimitCase{"OUTPUTS=4", 4},
                                           LimitCase{"outputs=-3", 4},
                                           LimitCase{"outputs=many", 4}));

struct NameCase {
    const char* config;
    const char* infoName;
    const char* product;
    const char* expected;
};

class DeviceNameTest : public DeviceTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DeviceNameTest, NamingRule) {
    virt::ModuleConfig module = basicModule("N1");
    module.infoName = GetParam().infoName;
    module.productString = GetParam().product;
    bus.add(module);
    writeConfig(GetParam().config);
    ASSERT_EQ(device.open("N1"), Ok);
    EXPECT_EQ(device.name(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DeviceNameTest,
    ::testing::Values(NameCase{"[device3]\nserial=N1\nname=Front door\n", "Rack", "P",
                               "Front door"},
                      NameCase{"[device3]\nserial=N1\nname=\n", "Rack", "P", "Rack"},
                      NameCase{"", "", "Tavrik P", "Tavrik P"},
                      NameCase{"", "", "", "Quenz Input Output Module"},
                      NameCase{"[device-1]\nname=Anyone\n", "Rack", "P", "Anyone"}));

TEST_F(DeviceTest, ConfigurationIsReadThroughCommandTwoWhenCommandFiveIsNotAnswered) {
    virt::ModuleConfig module = basicModule("F1", {65, 1, 0, 0, 0});
    module.answersConfigCommand = false;
    bus.add(module);
    ASSERT_EQ(device.open("F1"), Ok);
    EXPECT_EQ(device.pointCount(Outputs), 2u);
    EXPECT_TRUE(device.isRelay(Outputs, 0));
    EXPECT_EQ(device.pointCount(Inputs), 3u);
    EXPECT_EQ(requestCount(0, CmdReadIoConfig), 5u);
}

TEST_F(DeviceTest, OversizedConfigurationIsCutAtTheBuffer) {
    // 200 entries: three command 5 requests fill the 128-entry buffer, and reading stops there.
    bus.add(basicModule("BIG", std::vector<uint8_t>(200, 0)));
    ASSERT_EQ(device.open("BIG"), Ok);
    EXPECT_EQ(device.pointCount(Inputs), 128u);
    EXPECT_EQ(requestCount(0, CmdReadIoConfig), 3u);
}

TEST_F(DeviceTest, OversizedFallbackConfigurationIsCutAtTheBuffer) {
    virt::ModuleConfig module = basicModule("BIG2", std::vector<uint8_t>(180, 0));
    module.answersConfigCommand = false;
    bus.add(module);
    ASSERT_EQ(device.open("BIG2"), Ok);
    EXPECT_EQ(device.pointCount(Inputs), 128u);
}

TEST_F(DeviceTest, ExtendedImageIsExchangedInOverlappingChunks) {
    virt::ModuleConfig module = basicModule("X1", std::vector<uint8_t>(60, PoeVoltage));
    module.deviceFlags = kFlagExtendedLayout;
    module.initialValues = {{PoeVoltage, 27, 0x1234}, {PoeVoltage, 59, 0xBEEF}};
    bus.add(module);
    ASSERT_EQ(device.open("X1"), Ok);
    std::vector<int> offsets;
    bus.withModule(0, [&offsets](virt::VirtualModule& m) {
        for (const TavrikMessage& r : m.requests()) {
            if (r.command() == CmdStateExtended) {
                offsets.push_back(readU16(r.bytes + msg::ImageOffset));
            }
        }
        return 0;
    });
    EXPECT_EQ(offsets, (std::vector<int>{0, 54, 108}));
    EXPECT_EQ(device.getValue(PoeVoltage, 27), 0x1234);  // bytes 54 and 55: straddles chunk 0
    EXPECT_EQ(device.getValue(PoeVoltage, 59), 0xBEEF);
    EXPECT_EQ(requestCount(0, CmdStateBasic), 0u);
}

TEST_F(DeviceTest, EmptyImageIsStillExchangedOnce) {
    bus.add(basicModule("E1", {}));
    ASSERT_EQ(device.open("E1"), Ok);
    EXPECT_EQ(requestCount(0, CmdStateBasic), 1u);
}

TEST_F(DeviceTest, CloseForgetsTheModuleButNotTheWatchdogTime) {
    virt::ModuleConfig module = basicModule("W1");
    module.watchdogTime = 1;
    bus.add(module);
    bus.add(basicModule("W2"));
    ASSERT_EQ(device.open("W1"), Ok);
    device.close();
    EXPECT_EQ(device.status(), DeviceNotOpen);
    EXPECT_EQ(device.serial(), "");
    EXPECT_EQ(device.pointCount(Inputs), 0u);
    EXPECT_EQ(device.getValue(Inputs, 0), DeviceNotOpen);
    EXPECT_EQ(device.watchdogTime(), 1);
    ASSERT_EQ(device.open("W2"), Ok);
    EXPECT_EQ(device.watchdogTime(), 0);
}

}  // namespace
}  // namespace tavrik
