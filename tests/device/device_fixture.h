// A device test: a virtual bus as the HID backend, a scratch tavrik.ini, a clock the test
// drives, and a recorder for the events the device raises.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tavrik_device.h"
#include "virtual_bus_fixture.h"

namespace tavrik::test {

struct Event {
    int32_t kind;
    int32_t type;
    int32_t index;
    int32_t value;
    bool operator==(const Event& o) const {
        return kind == o.kind && type == o.type && index == o.index && value == o.value;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << "{" << e.kind << "," << e.type << "," << e.index << "," << e.value << "}";
}

inline Event ioEvent(uint32_t type, int32_t index, int32_t value) {
    return {kEventIo, static_cast<int32_t>(type), index, value};
}
inline Event errorEvent(int32_t code) {
    return {kEventError, static_cast<int32_t>(kIoTypeCount), 0, code};
}

// Callbacks are plain function pointers, so the recorder is process-wide.
class EventLog {
  public:
    static void record(int32_t kind, int32_t type, int32_t index, int32_t value, TavrikDevice&) {
        std::lock_guard<std::mutex> lock(mutex());
        events().push_back({kind, type, index, value});
    }
    static std::vector<Event> take() {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<Event> taken;
        taken.swap(events());
        return taken;
    }
    static size_t size() {
        std::lock_guard<std::mutex> lock(mutex());
        return events().size();
    }
    static bool contains(const Event& e) {
        std::lock_guard<std::mutex> lock(mutex());
        for (const Event& x : events()) {
            if (x == e) {
                return true;
            }
        }
        return false;
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<Event>& events() {
        static std::vector<Event> e;
        return e;
    }
};

// Time stands still until the test moves it. The wall clock can also be set on its own, as an
// administrator or a time daemon sets it.
class ManualClock : public DeviceClock {
  public:
    TimePoint monotonicNow() override {
        return TimePoint(std::chrono::microseconds(kBootMicros + micros_.load()));
    }
    int64_t wallSeconds() override {
        return kWallStart + (micros_.load() / 1000000) + wallOffsetSeconds_.load();
    }
    void advanceMs(int64_t ms) { micros_ += ms * 1000; }
    void setWallClockBy(int64_t seconds) { wallOffsetSeconds_ += seconds; }

  private:
    static constexpr int64_t kBootMicros = 3600LL * 1000000;  // the machine has run an hour
    static constexpr int64_t kWallStart = 1767225600;         // 2026-01-01 00:00 UTC
    std::atomic<int64_t> micros_{0};
    std::atomic<int64_t> wallOffsetSeconds_{0};
};

// Polls a condition for up to ten seconds; a deadline for a hung test, not a timing assertion.
inline bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class DeviceTest : public VirtualBusTest {
  protected:
    void SetUp() override {
        VirtualBusTest::SetUp();
        std::filesystem::remove_all(TAVRIK_TEST_CONFIG_DIR);
        std::filesystem::create_directories(TAVRIK_TEST_CONFIG_DIR);
        EventLog::take();
    }
    void TearDown() override {
        device.close();
        VirtualBusTest::TearDown();
        std::filesystem::remove_all(TAVRIK_TEST_CONFIG_DIR);
    }

    void writeConfig(const std::string& text) {
        std::ofstream(std::string(TAVRIK_TEST_CONFIG_DIR) + "/tavrik.ini") << text;
    }

    int32_t modulePoint(uint32_t type, uint32_t index) {
        return bus.withModule(
            0, [type, index](virt::VirtualModule& m) { return m.point(type, index); });
    }

    // Requests of one command whose parameter byte (the mode) is the given value.
    size_t requestsWithMode(uint8_t command, uint8_t mode) {
        return bus.withModule(0, [command, mode](virt::VirtualModule& m) {
            size_t n = 0;
            for (const TavrikMessage& r : m.requests()) {
                n += r.command() == command && r.bytes[msg::Parameter] == mode;
            }
            return n;
        });
    }

    // Lets the API thread make at least a few more passes (each pass reads once).
    void letThreadRun(size_t passes = 5) {
        const size_t start = bus.readCount(0);
        ASSERT_TRUE(eventually([&] { return bus.readCount(0) >= start + passes; }));
    }

    ManualClock clock;
    TavrikDevice device{&clock};
};

}  // namespace tavrik::test
