#include <gtest/gtest.h>

#include <atomic>
#ifndef _WIN32
#include <csignal>

#include <pthread.h>
#endif

#include "device_fixture.h"

namespace tavrik {
namespace {

using test::basicModule;
using test::errorEvent;
using test::EventLog;
using test::eventually;
using test::ioEvent;

class ApiThreadTest : public test::DeviceTest {
  protected:
    // 4 inputs, 2 outputs, one poe_voltage and one poe_current point.
    void startModule(bool watchdogReset = false) {
        virt::ModuleConfig module = basicModule("T1", {0, 0, 0, 0, 1, 1, 9, 10});
        module.watchdogReset = watchdogReset;
        bus.add(module);
        ASSERT_EQ(device.open("T1"), Ok);
        device.setEventCallback(&EventLog::record);
        ASSERT_EQ(device.start(), Ok);
    }

    size_t exchanges() { return requestsWithMode(CmdStateBasic, 1); }
    size_t keepAlives() { return requestsWithMode(CmdStatus, 1); }
};

TEST_F(ApiThreadTest, StartBeforeOpenAndStartTwice) {
    EXPECT_EQ(device.start(), DeviceNotOpen);
    startModule();
    letThreadRun();
    EXPECT_EQ(device.start(), Ok);
    letThreadRun();
    // A second thread would have sent a keep-alive of its own on its first pass.
    EXPECT_EQ(keepAlives(), 1u);
}

TEST_F(ApiThreadTest, StartReportsEveryPointTheModuleOwnsOnce) {
    startModule();
    letThreadRun();
    const std::vector<test::Event> expected = {
        ioEvent(Inputs, 0, 0), ioEvent(Inputs, 1, 0),     ioEvent(Inputs, 2, 0),
        ioEvent(Inputs, 3, 0), ioEvent(PoeVoltage, 0, 0), ioEvent(PoeCurrent, 0, 0)};
    EXPECT_EQ(EventLog::take(), expected);
}

TEST_F(ApiThreadTest, WatchdogResetIsReportedAfterTheInitialPoints) {
    startModule(true);
    letThreadRun();
    const std::vector<test::Event> events = EventLog::take();
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events.back(), errorEvent(WatchdogReset));
}

TEST_F(ApiThreadTest, StateEventsReportOnlyChangesOfPointsTheModuleOwns) {
    startModule();
    letThreadRun();
    EventLog::take();

    bus.setPoint(0, Inputs, 2, 1, true);
    ASSERT_TRUE(eventually([] { return EventLog::size() >= 1; }));
    bus.sendStateEvent(0);                      // the same image again
    bus.setPoint(0, PoeCurrent, 0, 250, true);  // measured: never an event
    bus.setPoint(0, Inputs, 0, 1, true);        // a marker that the others were handled
    ASSERT_TRUE(eventually([] { return EventLog::size() >= 2; }));
    letThreadRun();
    EXPECT_EQ(EventLog::take(),
              (std::vector<test::Event>{ioEvent(Inputs, 2, 1), ioEvent(Inputs, 0, 1)}));
    EXPECT_EQ(device.getValue(PoeCurrent, 0), 250);
}

TEST_F(ApiThreadTest, ModuleErrorEventIsDeliveredAndTheThreadGoesOn) {
    startModule();
    letThreadRun();
    EventLog::take();
    bus.sendErrorEvent(0, static_cast<int8_t>(0xF7));
    ASSERT_TRUE(eventually([] { return EventLog::size() >= 1; }));
    EXPECT_EQ(EventLog::take(), std::vector<test::Event>{errorEvent(I2cTimeout)});
    letThreadRun();
    EXPECT_EQ(device.status(), Ok);
}

TEST_F(ApiThreadTest, OtherUnsolicitedCommandsAreIgnored) {
    startModule();
    letThreadRun();
    EventLog::take();
    for (uint8_t command :
         {CmdStatus, CmdStateBasic, CmdReadInfoBlock, CmdReadIoConfig, CmdStateExtended}) {
        TavrikMessage message;
        message.bytes[msg::Command] = command;
        message.bytes[msg::Status] = 0xF7;
        message.bytes[msg::BasicImage] = 0x00;  // would flip every input if it were applied
        sealMessage(message);
        bus.sendRaw(0, message);
    }
    letThreadRun(10);
    EXPECT_EQ(EventLog::size(), 0u);
    EXPECT_EQ(device.status(), Ok);
}

TEST_F(ApiThreadTest, WrittenOutputIsSentByTheNextPass) {
    startModule();
    letThreadRun();
    const size_t before = exchanges();
    ASSERT_EQ(device.setValue(Outputs, 1, 1), Ok);
    EXPECT_EQ(device.getValue(Outputs, 1), 1);
    // The clock stands still, so only the pending write can cause this exchange.
    ASSERT_TRUE(eventually([&] { return modulePoint(Outputs, 1) == 1; }));
    EXPECT_EQ(exchanges(), before + 1);
    EXPECT_EQ(modulePoint(Outputs, 0), 0);
}

TEST_F(ApiThreadTest, StateIsPolledEvery900Milliseconds) {
    startModule();
    letThreadRun();
    const size_t first = exchanges();  // the forced exchange and the first pass's poll
    EXPECT_EQ(first, 2u);
    clock.advanceMs(899);
    letThreadRun();
    EXPECT_EQ(exchanges(), first);
    clock.advanceMs(1);
    ASSERT_TRUE(eventually([&] { return exchanges() == first + 1; }));
    letThreadRun();
    EXPECT_EQ(exchanges(), first + 1);
}

TEST_F(ApiThreadTest, KeepAliveIsSentAtOnceAndThenEverySixtySeconds) {
    startModule();
    letThreadRun();
    EXPECT_EQ(keepAlives(), 1u);
    clock.advanceMs(59999);
    letThreadRun();
    EXPECT_EQ(keepAlives(), 1u);
    clock.advanceMs(1);
    ASSERT_TRUE(eventually([&] { return keepAlives() == 2u; }));
    bus.withModule(0, [](virt::VirtualModule& m) {
        for (const TavrikMessage& r : m.requests()) {
            if (r.command() == CmdStatus) {
                EXPECT_EQ(readU32(r.bytes + msg::Constant), 1u);
                EXPECT_NE(readU32(r.bytes + msg::HostTime), 0u);
            }
        }
        return 0;
    });
}

// An administrator or a time daemon sets the wall clock back an hour: polls and keep-alives
// keep their pace, and the module is told the wall clock's new time.
TEST_F(ApiThreadTest, WallClockSetBackKeepsPollsAndKeepAlivesGoing) {
    startModule();
    letThreadRun();
    const size_t polls = exchanges();
    clock.setWallClockBy(-3600);
    for (size_t poll = 1; poll <= 3; ++poll) {
        clock.advanceMs(900);
        ASSERT_TRUE(eventually([&] { return exchanges() == polls + poll; })) << poll;
    }
    clock.advanceMs(60000);
    ASSERT_TRUE(eventually([&] { return keepAlives() == 2u; }));
    const std::vector<uint32_t> hostTimes = bus.withModule(0, [](virt::VirtualModule& m) {
        std::vector<uint32_t> times;
        for (const TavrikMessage& r : m.requests()) {
            if (r.command() == CmdStatus && r.bytes[msg::Parameter] == ModeRunning) {
                times.push_back(readU32(r.bytes + msg::HostTime));
            }
        }
        return times;
    });
    ASSERT_EQ(hostTimes.size(), 2u);
    EXPECT_EQ(hostTimes[1], hostTimes[0] - 3600 + 62);  // 3 x 0.9 s and 60 s later
}

TEST_F(ApiThreadTest, FailingKeepAliveDoesNotStopTheThread) {
    startModule();
    letThreadRun();
    virt::Fault fault;
    fault.kind = virt::Fault::Status;
    fault.status = CommandInvalid;
    fault.command = CmdStatus;
    fault.count = 5;
    bus.injectFault(0, fault);
    clock.advanceMs(60000);
    ASSERT_TRUE(eventually([&] { return keepAlives() == 6u; }));
    letThreadRun();
    EXPECT_EQ(device.status(), Ok);
}

TEST_F(ApiThreadTest, UnplugStopsTheThreadWithTimeoutThenStopped) {
    startModule();
    letThreadRun();
    EventLog::take();
    bus.unplug(0);
    clock.advanceMs(900);  // the next poll meets the missing module
    ASSERT_TRUE(eventually([] { return EventLog::size() >= 2; }));
    EXPECT_EQ(EventLog::take(), (std::vector<test::Event>{errorEvent(CommunicationTimeout),
                                                          errorEvent(ApiThreadStopped)}));
    ASSERT_TRUE(eventually([&] { return device.status() == ApiThreadStopped; }));
}

// Reads on a handle whose module has gone fail at once. With the clock standing still no
// exchange comes due, so only the failed read itself can end the loop.
TEST_F(ApiThreadTest, FailedReadStopsTheThreadInsteadOfSpinning) {
    startModule();
    letThreadRun();
    EventLog::take();
    const size_t readsBefore = bus.readCount(0);
    bus.unplug(0);
    ASSERT_TRUE(eventually([] { return EventLog::size() >= 2; }));
    EXPECT_EQ(EventLog::take(), (std::vector<test::Event>{errorEvent(CommunicationTimeout),
                                                          errorEvent(ApiThreadStopped)}));
    ASSERT_TRUE(eventually([&] { return device.status() == ApiThreadStopped; }));
    EXPECT_LE(bus.readCount(0) - readsBefore, 1u);  // the one read that failed
}

#ifndef _WIN32
// A failed read stops the thread, so a signal handler of the user's program must never
// interrupt the thread's HID reads: the thread runs with every signal blocked, whatever the
// mask of the thread that started it.
TEST_F(ApiThreadTest, ApiThreadRunsWithSignalsBlocked) {
    virt::ModuleConfig module = basicModule("T1", {0, 1});
    bus.add(module);
    ASSERT_EQ(device.open("T1"), Ok);
    std::atomic<int> blocked{-1};
    device.setEventCallback([&blocked](int32_t, int32_t, int32_t, int32_t, TavrikDevice&) {
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        blocked = sigismember(&mask, SIGCHLD) == 1 && sigismember(&mask, SIGUSR1) == 1 &&
                  sigismember(&mask, SIGINT) == 1;
    });
    ASSERT_EQ(device.start(), Ok);
    ASSERT_TRUE(eventually([&] { return blocked != -1; }));
    EXPECT_EQ(blocked, 1);
    sigset_t mine;
    pthread_sigmask(SIG_SETMASK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGUSR1), 0);  // the starting thread's mask is given back
    device.setEventCallback(nullptr);
}
#endif

TEST_F(ApiThreadTest, CorruptEventStopsTheThread) {
    startModule();
    letThreadRun();
    EventLog::take();
    TavrikMessage corrupt;
    corrupt.bytes[msg::Command] = CmdStateEventBasic;
    sealMessage(corrupt);
    corrupt.bytes[msg::Check] ^= 1;
    bus.sendRaw(0, corrupt);
    ASSERT_TRUE(eventually([] { return EventLog::size() >= 2; }));
    EXPECT_EQ(EventLog::take(), (std::vector<test::Event>{errorEvent(MessageCrcInvalid),
                                                          errorEvent(ApiThreadStopped)}));
}

TEST_F(ApiThreadTest, CloseDeliversThreadStoppedBeforeItReturns) {
    startModule();
    letThreadRun();
    EventLog::take();
    device.close();
    EXPECT_EQ(EventLog::take(), std::vector<test::Event>{errorEvent(ApiThreadStopped)});
    EXPECT_EQ(device.status(), DeviceNotOpen);
    EXPECT_EQ(device.pointCount(Inputs), 0u);
}

TEST_F(ApiThreadTest, WithoutCallbackEventsAreDroppedAndTheThreadRunsTheSame) {
    startModule();
    device.setEventCallback(nullptr);
    letThreadRun();
    bus.setPoint(0, Inputs, 1, 1, true);
    ASSERT_TRUE(eventually([&] { return device.getValue(Inputs, 1) == 1; }));
    EXPECT_EQ(EventLog::size(), 6u);  // only the reports raised before the callback was removed
    EXPECT_EQ(device.status(), Ok);
}

// Mirrors input 0 onto output 0 from inside the callback.
void mirrorInput(int32_t kind, int32_t type, int32_t index, int32_t value, TavrikDevice& device) {
    if (kind == kEventIo && type == Inputs && index == 0) {
        device.setValue(Outputs, 0, device.getValue(Inputs, 0));
        EXPECT_EQ(value, device.getValue(Inputs, 0));
    }
}

TEST_F(ApiThreadTest, CallbackMayUseItsOwnDevice) {
    startModule();
    device.setEventCallback(&mirrorInput);
    letThreadRun();
    bus.setPoint(0, Inputs, 0, 1, true);
    ASSERT_TRUE(eventually([&] { return modulePoint(Outputs, 0) == 1; }));
    EXPECT_EQ(device.getValue(Outputs, 0), 1);
}

TEST_F(ApiThreadTest, DeviceCanBeStartedAgainAfterTheThreadStopped) {
    startModule();
    letThreadRun();
    bus.sendRaw(0, [] {
        TavrikMessage corrupt;
        corrupt.bytes[msg::Preamble] = 0x55;
        return corrupt;
    }());
    ASSERT_TRUE(eventually([&] { return device.status() == ApiThreadStopped; }));
    EventLog::take();
    ASSERT_EQ(device.start(), Ok);
    letThreadRun();
    EXPECT_EQ(device.status(), Ok);
    EXPECT_EQ(EventLog::size(), 6u);  // the new thread reports every point again
}

}  // namespace
}  // namespace tavrik
