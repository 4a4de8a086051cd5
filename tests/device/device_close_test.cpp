// close() from several threads at once, from the device's own callback and with the
// destructor, and what a closed device answers. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "device_fixture.h"

namespace tavrik {
namespace {

using test::basicModule;
using test::eventually;

// The virtual bus behind a layer that records which handles are open, so that a second
// close of one handle shows. Each close takes a moment, as hidapi's does, which leaves room
// for a second caller to come in.
class HandleCountingBackend : public hid::HidBackend {
  public:
    explicit HandleCountingBackend(hid::HidBackend& inner) : inner_(inner) {}

    std::vector<hid::EnumeratedDevice> enumerate(uint16_t vendorId, uint16_t productId) override {
        return inner_.enumerate(vendorId, productId);
    }
    hid::hid_device* openPath(const char* path, int* status) override {
        hid::hid_device* dev = inner_.openPath(path, status);
        if (dev != nullptr) {
            std::lock_guard<std::mutex> lock(mutex_);
            open_.insert(dev);
            ++opens_;
        }
        return dev;
    }
    int write(hid::hid_device* dev, const unsigned char* data, size_t length) override {
        return inner_.write(dev, data, length);
    }
    int readTimeout(hid::hid_device* dev, unsigned char* data, size_t length,
                    int milliseconds) override {
        return inner_.readTimeout(dev, data, length, milliseconds);
    }
    int productString(hid::hid_device* dev, wchar_t* string, size_t maxlen) override {
        return inner_.productString(dev, string, maxlen);
    }
    void close(hid::hid_device* dev) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (open_.erase(dev) == 0) {
                ++badCloses_;
                return;  // hidapi would free it twice
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        inner_.close(dev);
    }

    size_t opens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }
    size_t stillOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_.size();
    }
    size_t badCloses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return badCloses_;
    }

  private:
    hid::HidBackend& inner_;
    std::mutex mutex_;
    std::set<hid::hid_device*> open_;
    size_t opens_ = 0;
    size_t badCloses_ = 0;
};

// Counts the callbacks of one device, and those that came after close() had returned.
struct CallbackCount {
    std::atomic<int> calls{0};
    std::atomic<bool> closeReturned{false};
    std::atomic<int> afterClose{0};

    TavrikEventCallback counter() {
        return [this](int32_t, int32_t, int32_t, int32_t, TavrikDevice&) {
            ++calls;
            afterClose += closeReturned ? 1 : 0;
        };
    }
};

class DeviceCloseTest : public test::DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        hid::setBackend(&counting);
        bus.add(basicModule("C1"));
    }

    void openAndStart(TavrikDevice& d) {
        ASSERT_EQ(d.open("C1"), Ok);
        ASSERT_EQ(d.start(), Ok);
    }

    HandleCountingBackend counting{bus};
};

TEST_F(DeviceCloseTest, ClosesFromManyThreadsAtOnceCloseTheHandleOnce) {
    constexpr int kRounds = 10;
    constexpr int kClosers = 8;
    for (int round = 0; round < kRounds; ++round) {
        CallbackCount count;
        device.setEventCallback(count.counter());
        openAndStart(device);
        std::atomic<int> ready{0};
        std::vector<std::thread> closers;
        for (int i = 0; i < kClosers; ++i) {
            closers.emplace_back([&] {
                ++ready;
                while (ready < kClosers) {
                    std::this_thread::yield();
                }
                device.close();
                count.closeReturned = true;
                EXPECT_EQ(device.status(), DeviceNotOpen);
            });
        }
        for (std::thread& closer : closers) {
            closer.join();
        }
        EXPECT_EQ(count.afterClose, 0) << round;
        EXPECT_EQ(count.calls, 5) << round;  // 4 inputs at start, then ApiThreadStopped once
    }
    EXPECT_EQ(counting.badCloses(), 0u);
    EXPECT_EQ(counting.stillOpen(), 0u);
    EXPECT_EQ(counting.opens(), static_cast<size_t>(kRounds));
}

TEST_F(DeviceCloseTest, CallbackThatClosesItsDeviceIsNotCalledAgain) {
    CallbackCount count;
    std::atomic<int> callsAtClose{0};
    device.setEventCallback([&](int32_t, int32_t, int32_t, int32_t, TavrikDevice& self) {
        ++count.calls;
        count.afterClose += count.closeReturned ? 1 : 0;
        if (!count.closeReturned) {
            self.close();  // returns without waiting for the thread it runs on
            EXPECT_EQ(self.status(), DeviceNotOpen);
            EXPECT_EQ(self.getValue(Inputs, 0), DeviceNotOpen);
            callsAtClose = count.calls.load();
            count.closeReturned = true;
        }
    });
    ASSERT_EQ(device.open("C1"), Ok);
    device.start();  // DeviceNotOpen if the callback has closed the device already
    ASSERT_TRUE(eventually([&] { return counting.stillOpen() == 0; }));
    device.close();  // joins the thread, which is ending by itself
    EXPECT_EQ(count.afterClose, 0);
    EXPECT_EQ(callsAtClose, 1);
    EXPECT_EQ(counting.badCloses(), 0u);
    EXPECT_EQ(device.status(), DeviceNotOpen);
}

TEST_F(DeviceCloseTest, DestructorDoesNotCallTheCallback) {
    CallbackCount count;
    auto owned = std::make_unique<TavrikDevice>(&clock);
    owned->setEventCallback(count.counter());
    openAndStart(*owned);
    ASSERT_TRUE(eventually([&] { return count.calls == 4; }));  // the start's reports
    owned.reset();
    EXPECT_EQ(count.calls, 4);
    EXPECT_EQ(counting.stillOpen(), 0u);
}

// The callback closes its device on the first change while the owner destroys it.
TEST_F(DeviceCloseTest, CallbackCloseRacingTheDestructorClosesTheHandleOnce) {
    for (int round = 0; round < 10; ++round) {
        auto owned = std::make_unique<TavrikDevice>(&clock);
        openAndStart(*owned);
        owned->setEventCallback([](int32_t kind, int32_t, int32_t, int32_t, TavrikDevice& self) {
            if (kind == kEventIo) {
                self.close();
            }
        });
        bus.setPoint(0, Inputs, 0, round % 2 == 0 ? 1 : 0, true);
        owned.reset();
    }
    EXPECT_EQ(counting.badCloses(), 0u);
    EXPECT_EQ(counting.stillOpen(), 0u);
}

// Whatever state the device was closed from, it then answers DeviceNotOpen.
struct ClosedCase {
    const char* name;
    bool open;
    bool start;
};

class ClosedDeviceTest : public DeviceCloseTest,
                         public ::testing::WithParamInterface<ClosedCase> {};

TEST_P(ClosedDeviceTest, AnswersDeviceNotOpen) {
    const ClosedCase& c = GetParam();
    if (c.open) {
        ASSERT_EQ(device.open("C1"), Ok);
        ASSERT_EQ(device.setValue(Outputs, 0, 1), Ok);  // a write the module has not answered
    }
    if (c.start) {
        ASSERT_EQ(device.start(), Ok);
    }
    device.close();
    EXPECT_EQ(device.status(), DeviceNotOpen);
    EXPECT_EQ(device.getValue(Inputs, 0), DeviceNotOpen);
    EXPECT_EQ(device.setValue(Outputs, 0, 1), DeviceNotOpen);
    EXPECT_EQ(device.waitForExchange(1000), DeviceNotOpen);
    EXPECT_EQ(device.pointCount(Inputs), 0u);
    EXPECT_FALSE(device.isRelay(Outputs, 0));
    EXPECT_EQ(device.start(), DeviceNotOpen);
    EXPECT_EQ(device.status(), DeviceNotOpen);
}

INSTANTIATE_TEST_SUITE_P(FromEveryState, ClosedDeviceTest,
                         ::testing::Values(ClosedCase{"NeverOpened", false, false},
                                           ClosedCase{"OpenIdle", true, false},
                                           ClosedCase{"Running", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrik
