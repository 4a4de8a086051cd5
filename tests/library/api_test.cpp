// libtavrik's public API over virtual modules: the device list, values, writes that reach the
// module, events in order, unplug, and calls from several threads at once.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tavrik/tavrik.h"
#include "virtual_bus_fixture.h"

namespace tavrik {
namespace {

// Collects the events of a device, for waiting on from the test's thread.
class EventLog {
  public:
    Device::EventCallback callback() {
        return [this](const Event& event) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(event);
            changed_.notify_all();
        };
    }

    // Waits until count events have come (bounded); returns them all.
    std::vector<Event> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
        return events_;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

class LibraryApiTest : public test::VirtualBusTest {
  protected:
    // Opens and starts the module; the events of its start are taken.
    void openStarted(Device& device, const std::string& serial, size_t startEvents) {
        device.setEventCallback(log.callback());
        ASSERT_EQ(device.open(serial), Ok);
        ASSERT_EQ(device.start(), Ok);
        log.waitFor(startEvents);
        log.clear();
    }

    EventLog log;
};

TEST_F(LibraryApiTest, ListsModulesInLocationOrderAndBySerialInEitherMode) {
    virt::ModuleConfig second = test::basicModule("B2");
    second.location = "00000000.00000002.";
    virt::ModuleConfig first = test::basicModule("A1");
    first.location = "00000000.00000001.";
    virt::ModuleConfig boot = test::basicModule("C3");
    boot.startInBootloader = true;
    bus.add(second);
    bus.add(first);
    bus.add(boot);
    EXPECT_EQ(serials(Mode::Application), (std::vector<std::string>{"A1", "B2"}));
    EXPECT_EQ(serials(Mode::Bootloader), (std::vector<std::string>{"C3"}));
    EXPECT_EQ(serials(Mode::Either).size(), 3u);
}

TEST_F(LibraryApiTest, IdentityValuesAndWritesThatReachTheModule) {
    virt::ModuleConfig module = test::basicModule("A1", {0, 0, 65, 1, 5});
    module.initialValues = {{0, 1, 1}, {5, 0, 30}};
    bus.add(module);
    Device device;
    openStarted(device, "A1", 2);
    EXPECT_EQ(device.serial(), "A1");
    EXPECT_EQ(device.name(), "Module A1");
    EXPECT_EQ(device.typeText(), "TIO-8");
    EXPECT_EQ(device.pointCount(Inputs), 2u);
    EXPECT_EQ(device.value(Inputs, 1), 1);
    EXPECT_EQ(device.value(Watchdog, 0), 30);
    EXPECT_TRUE(device.isRelay(Outputs, 0));
    EXPECT_EQ(device.value(Inputs, 2), IoPointOutOfRange);
    EXPECT_EQ(device.setValue(Inputs, 0, 1), InvalidParameterValue);

    ASSERT_EQ(device.setValue(Outputs, 1, 1), Ok);
    ASSERT_EQ(device.waitForExchange(5000), Ok);
    EXPECT_EQ(bus.withModule(0, [](virt::VirtualModule& m) { return m.point(Outputs, 1); }), 1);
}

TEST_F(LibraryApiTest, EventsArriveInOrderAndUnplugEndsTheThread) {
    bus.add(test::basicModule("A1"));
    Device device;
    openStarted(device, "A1", 4);
    bus.setPoint(0, Inputs, 2, 1, true);
    bus.setPoint(0, Inputs, 3, 1, true);
    std::vector<Event> events = log.waitFor(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Event::Io);
    EXPECT_EQ((std::vector<uint32_t>{events[0].index, events[1].index}),
              (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(events[1].value, 1);

    log.clear();
    bus.unplug(0);
    ASSERT_EQ(device.setValue(Outputs, 0, 1), Ok);
    EXPECT_EQ(device.waitForExchange(5000), CommunicationTimeout);
    events = log.waitFor(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Event::Error);
    EXPECT_EQ(events[0].value, CommunicationTimeout);
    EXPECT_EQ(events[1].value, ApiThreadStopped);
    EXPECT_NE(device.status(), Ok);
}

// Run under ThreadSanitizer in CI: readers, writers and a closer on their own threads while
// the module sends events.
TEST_F(LibraryApiTest, CallsFromSeveralThreadsAtOnce) {
    bus.add(test::basicModule("A1", {0, 0, 0, 0, 1, 1, 4, 4}));
    Device device;
    openStarted(device, "A1", 4);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            bus.setPoint(0, Inputs, static_cast<uint32_t>(i % 4), i % 2, true);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    for (uint32_t type : {Outputs, RaidLeds}) {
        threads.emplace_back([&device, type] {
            for (int i = 0; i < 50; ++i) {
                EXPECT_EQ(device.setValue(type, i % 2, i % 2), Ok);
                EXPECT_GE(device.value(type, i % 2), 0);
                EXPECT_EQ(device.pointCount(type), 2u);
                device.waitForExchange(1000);
            }
        });
    }
    threads.emplace_back([&device] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_GE(device.value(Inputs, i % 4), 0);
        }
    });
    for (size_t t = 1; t < threads.size(); ++t) {
        threads[t].join();
    }
    std::thread closer([&device] { device.close(); });
    closer.join();
    stop = true;
    threads[0].join();
    EXPECT_EQ(device.pointCount(Inputs), 0u);
    EXPECT_EQ(device.value(Outputs, 0), DeviceNotOpen);
}

TEST_F(LibraryApiTest, OneBitPointRefusesWiderValuesAndClosedDeviceSaysNotOpen) {
    virt::ModuleConfig module = test::basicModule("A1", {0, 1, 5});
    module.initialValues = {{Outputs, 0, 1}};
    bus.add(module);
    Device device;
    openStarted(device, "A1", 1);
    EXPECT_EQ(device.setValue(Outputs, 0, 2), InvalidParameterValue);
    EXPECT_EQ(device.value(Outputs, 0), 1);
    EXPECT_EQ(device.setValue(Watchdog, 0, 0x10000), InvalidParameterValue);
    ASSERT_EQ(device.setValue(Watchdog, 0, 0xFFFF), Ok);
    ASSERT_EQ(device.waitForExchange(5000), Ok);
    EXPECT_EQ(bus.withModule(0, [](virt::VirtualModule& m) { return m.point(Outputs, 0); }), 1);

    device.close();
    EXPECT_EQ(log.waitFor(1).size(), 1u);  // ApiThreadStopped, delivered before close returned
    EXPECT_EQ(device.status(), DeviceNotOpen);
    EXPECT_EQ(device.value(Outputs, 0), DeviceNotOpen);
    EXPECT_EQ(device.setValue(Outputs, 0, 1), DeviceNotOpen);
    EXPECT_EQ(device.waitForExchange(1000), DeviceNotOpen);
    EXPECT_EQ(device.start(), DeviceNotOpen);
}

}  // namespace
}  // namespace tavrik
