// The bus's wire-time model: off by default, and when on, reports wait for their wire time and
// the module's processing time and keep their order. Bounds only; no timing is a target here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "scenario.h"
#include "virtual_test_util.h"

namespace tavrik::virt {
namespace {

constexpr int kGenerous = 5000;  // ms; only ever waited out when a test fails

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class WireModelTest : public ::testing::Test {
  protected:
    ~WireModelTest() override {
        if (dev_ != nullptr) {
            bus.close(dev_);
        }
    }

    hid::hid_device* open(ModuleConfig config) {
        config.usbSerial = "W1";
        config.infoSerial = "W1";
        config.ioConfig = {0, 0, 1, 1};
        bus.add(config);
        const auto devices = bus.enumerate(0x04D8, 0xF713);
        if (devices.empty()) {
            return nullptr;
        }
        dev_ = bus.openPath(devices.front().path.c_str(), nullptr);
        return dev_;
    }

    int send(TavrikMessage m) {
        test::seal(m);
        unsigned char report[65] = {};
        std::memcpy(report + 1, m.bytes, kMessageSize);
        return bus.write(dev_, report, sizeof report);
    }

    int read(TavrikMessage& m, int timeoutMs) {
        return bus.readTimeout(dev_, m.bytes, kMessageSize, timeoutMs);
    }

    VirtualBus bus;
    hid::hid_device* dev_ = nullptr;
};

TEST_F(WireModelTest, OffByDefaultTheReplyIsThereAtOnce) {
    ASSERT_NE(open(ModuleConfig{}), nullptr);
    ASSERT_EQ(send(test::request(CmdStatus)), 65);
    TavrikMessage reply;
    EXPECT_EQ(read(reply, 0), 64) << "a read that does not wait finds the reply";
    EXPECT_EQ(reply.bytes[1], CmdStatus);
    EXPECT_FALSE(bus.withModule(0, [](VirtualModule& m) {
        return std::any_of(m.output().begin(), m.output().end(),
                           [](const InputReport& r) { return r.stamped; });
    }));
}

TEST_F(WireModelTest, ProcessingTimeHoldsTheReplyBack) {
    ModuleConfig config;
    config.commandMs = 200;
    ASSERT_NE(open(config), nullptr);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(send(test::request(CmdStatus)), 65);
    TavrikMessage reply;
    EXPECT_EQ(read(reply, 0), 0) << "the module is still working on it";
    EXPECT_EQ(read(reply, kGenerous), 64);
    EXPECT_EQ(reply.bytes[1], CmdStatus);
    EXPECT_GE(msSince(start), 195);
}

TEST_F(WireModelTest, ReportsCrossOneAfterTheOtherInOrder) {
    bus.setWireMs(50);
    ASSERT_NE(open(ModuleConfig{}), nullptr);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(send(test::request(CmdStatus)), 65);
    EXPECT_GE(msSince(start), 50) << "a write waits for its report to cross";
    bus.sendErrorEvent(0, -9);
    TavrikMessage first;
    TavrikMessage second;
    EXPECT_EQ(read(first, 0), 0) << "the reply is still on the wire";
    ASSERT_EQ(read(first, kGenerous), 64);
    ASSERT_EQ(read(second, kGenerous), 64);
    EXPECT_EQ(first.bytes[1], CmdStatus) << "the reply was queued first";
    EXPECT_NE(second.bytes[1], CmdStatus);
    // Write, reply and event: three reports, each one wire time.
    EXPECT_GE(msSince(start), 145);
}

TEST_F(WireModelTest, ATimedOutReadReturnsNothingWhileTheReportCrosses) {
    bus.setWireMs(300);
    ASSERT_NE(open(ModuleConfig{}), nullptr);
    ASSERT_EQ(send(test::request(CmdStatus)), 65);
    TavrikMessage reply;
    EXPECT_EQ(read(reply, 10), 0);
    EXPECT_EQ(read(reply, kGenerous), 64);
}

TEST(WireModelScenario, ReadsTheBusAndModuleKeys) {
    Scenario scenario;
    ScenarioError error;
    ASSERT_TRUE(parseScenario(
        "wire_ms = 1\n[module]\ncommand_ms = 2\nerase_ms = 300\nprogram_ms = 4\n", scenario, error))
        << describe(error);
    EXPECT_EQ(scenario.wireMs, 1);
    ASSERT_EQ(scenario.modules.size(), 1u);
    EXPECT_EQ(scenario.modules[0].commandMs, 2);
    EXPECT_EQ(scenario.modules[0].eraseMs, 300);
    EXPECT_EQ(scenario.modules[0].programMs, 4);

    Scenario plain;
    ASSERT_TRUE(parseScenario("[module]\n", plain, error));
    EXPECT_EQ(plain.wireMs, 0);
    EXPECT_EQ(plain.modules[0].commandMs, 0);
    EXPECT_EQ(plain.modules[0].eraseMs, 0);
    EXPECT_EQ(plain.modules[0].programMs, 0);

    Scenario bad;
    EXPECT_FALSE(parseScenario("[module]\nwire_ms = 1\n", bad, error));
    EXPECT_FALSE(parseScenario("wire_ms = 1\nwire_ms = 2\n", bad, error));
    EXPECT_FALSE(parseScenario("wire_ms = -1\n", bad, error));
}

}  // namespace
}  // namespace tavrik::virt
