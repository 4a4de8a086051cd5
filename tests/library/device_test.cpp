// The public device as a user's program meets it, on both paths: opened directly, and (with
// TAVRIK_TEST_VIA_SERVICE=1) through tavrikd, which holds the module on a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "scenario_environment.h"
#include "tavrik/tavrik.h"

namespace tavrik {
namespace {

using test::expectedViaService;
using test::kConfigFile;

// The input changes late enough for the first test to have subscribed on either path; the
// second module's input 0 toggles 40 times at once, a flood for a small queue.
std::string scenario() {
    std::string text =
        "[module]\nserial = API-A\nlocation = 1-1\ninfo_name = Api Rack\n"
        "config = 0 0 0 0 65 1\npoint = 0 1 1\nat = 4000 set 0 2 1\n"
        "[module]\nserial = API-F\nlocation = 1-2\nconfig = 0 0\n";
    for (int i = 0; i < 40; ++i) {
        text += "at = 3000 set 0 0 " + std::to_string((i + 1) % 2) + "\n";
    }
    return text;
}

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::ScenarioEnvironment(scenario()));

struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return events.size() >= count; });
    }
};

std::vector<int32_t> fields(const Event& e) {
    return {e.kind, static_cast<int32_t>(e.type), static_cast<int32_t>(e.index), e.value};
}

// First: the change comes 4 s after the module's first keep-alive, which this case's open (or
// the service's, just before) sends; ctest runs each case in a process of its own. The
// callback and the queue see the same events; the queue adds order, time and the marker of
// the first reports.
TEST(DevicePaths, EventsAreTheFirstReportsThenChangesThenTheEnd) {
    Seen seen;
    std::vector<EventRecord> pulled;
    {
        Device dev;
        dev.setEventCallback([&](const Event& e) {
            std::lock_guard<std::mutex> lock(seen.mutex);
            seen.events.push_back(e);
            seen.changed.notify_all();
        });
        EventRecord record;
        EXPECT_EQ(dev.readEvent(record, 0), DeviceNotOpen);
        ASSERT_EQ(dev.open("API-A"), Ok);
        EXPECT_EQ(dev.viaService(), expectedViaService());
        EXPECT_EQ(dev.readEvent(record, 0), 0);  // open, not started: nothing yet
        ASSERT_EQ(dev.start(), Ok);
        ASSERT_TRUE(seen.waitFor(5));
        EXPECT_TRUE(test::pollsReadable(dev.eventFd(), true));
        dev.close();
        while (dev.readEvent(record, std::chrono::milliseconds(0)) == 1) {
            pulled.push_back(record);
        }
        EXPECT_EQ(dev.readEvent(record, 0), DeviceNotOpen);
        EXPECT_EQ(dev.eventsDropped(), 0u);
    }
    std::lock_guard<std::mutex> lock(seen.mutex);
    std::vector<std::vector<int32_t>> got;
    for (const Event& e : seen.events) {
        got.push_back(fields(e));
    }
    const std::vector<std::vector<int32_t>> expected = {
        {Event::Io, Inputs, 0, 0}, {Event::Io, Inputs, 1, 1},
        {Event::Io, Inputs, 2, 0}, {Event::Io, Inputs, 3, 0},
        {Event::Io, Inputs, 2, 1}, {Event::Error, kIoTypeCount, 0, ApiThreadStopped}};
    EXPECT_EQ(got, expected);
    ASSERT_EQ(pulled.size(), expected.size());
    for (size_t i = 0; i < pulled.size(); ++i) {
        EXPECT_EQ(fields(pulled[i].event), expected[i]) << i;
        EXPECT_EQ(pulled[i].sequence, i + 1);
        EXPECT_EQ(pulled[i].initial, i < 4) << i;
        if (i > 0) {
            EXPECT_GE(pulled[i].timestamp, pulled[i - 1].timestamp);
        }
    }
}

// The module sends 40 changes at once while nobody reads: the queue keeps the newest 8, counts
// the rest as dropped, and the sequence numbers show the gap.
TEST(DevicePaths, EventFloodFillsTheQueueToItsBoundAndCountsTheOverflow) {
    Seen seen;
    Device dev;
    dev.setEventQueueCapacity(8);
    dev.setEventCallback([&](const Event& e) {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.events.push_back(e);
        seen.changed.notify_all();
    });
    ASSERT_EQ(dev.open("API-F"), Ok);
    ASSERT_EQ(dev.start(), Ok);
    const size_t total = 2 + 40;  // two first reports, then the toggles
    ASSERT_TRUE(seen.waitFor(total)) << seen.events.size();
    EXPECT_EQ(dev.eventsDropped(), total - 8);
    EventRecord record;
    for (uint64_t sequence = total - 7; sequence <= total; ++sequence) {
        ASSERT_EQ(dev.readEvent(record, 1000), 1);
        EXPECT_EQ(record.sequence, sequence);
        EXPECT_FALSE(record.initial);
        EXPECT_EQ(fields(record.event),
                  (std::vector<int32_t>{Event::Io, Inputs, 0, static_cast<int32_t>(sequence % 2)}));
    }
    EXPECT_EQ(dev.readEvent(record, 0), 0);
    EXPECT_TRUE(test::pollsReadable(dev.eventFd(), false));
}

// All points at once, and several writes that go together or not at all.
TEST(DevicePaths, ValuesAndSetValuesTakeEveryPointAtOnce) {
    Device dev;
    ASSERT_EQ(dev.open("API-A"), Ok);
    ASSERT_EQ(dev.start(), Ok);
    std::vector<PointValue> all;
    ASSERT_EQ(dev.values(all), Ok);
    std::vector<PointValue> expected;
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        for (uint32_t i = 0; i < dev.pointCount(type); ++i) {
            expected.push_back({type, i, dev.value(type, static_cast<int32_t>(i))});
        }
    }
    EXPECT_EQ(all, expected);
    EXPECT_EQ(all.size(), 6u);

    struct Batch {
        std::vector<PointValue> writes;
        int result;
    };
    for (const Batch& b : {Batch{{{Outputs, 0, 1}, {Outputs, 2, 1}}, IoPointOutOfRange},
                           Batch{{{Outputs, 0, 1}, {Inputs, 0, 1}}, InvalidParameterValue},
                           Batch{{{Outputs, 0, 1}, {Outputs, 1, 2}}, InvalidParameterValue}}) {
        EXPECT_EQ(dev.setValues(b.writes), b.result);
    }
    ASSERT_EQ(dev.waitForExchange(std::chrono::seconds(4)), Ok);
    EXPECT_EQ(dev.value(Outputs, 0), 0);  // a refused batch sets nothing
    ASSERT_EQ(dev.setValues({{Outputs, 0, 1}, {Outputs, 1, 1}}), Ok);
    ASSERT_EQ(dev.waitForExchange(std::chrono::seconds(4)), Ok);
    EXPECT_EQ(dev.value(Outputs, 0), 1);
    EXPECT_EQ(dev.value(Outputs, 1), 1);
    ASSERT_EQ(dev.setValues({{Outputs, 0, 0}, {Outputs, 1, 0}}), Ok);
    ASSERT_EQ(dev.waitForExchange(std::chrono::seconds(4)), Ok);
    dev.close();
    EXPECT_EQ(dev.values(all), DeviceNotOpen);
    EXPECT_TRUE(all.empty());
    EXPECT_EQ(dev.setValues({{Outputs, 0, 1}}), DeviceNotOpen);
}

// A started device moved into a container keeps its module and events; the one it left is
// closed and can open again.
TEST(DevicePaths, MovedDeviceKeepsItsModule) {
    std::vector<Device> held;
    {
        Device dev;
        ASSERT_EQ(dev.open("API-A"), Ok);
        ASSERT_EQ(dev.start(), Ok);
        held.push_back(std::move(dev));
        EXPECT_EQ(dev.status(), DeviceNotOpen);
        EventRecord record;
        EXPECT_EQ(dev.readEvent(record, 0), DeviceNotOpen);
    }
    Device& dev = held.front();
    EXPECT_EQ(dev.status(), Ok);
    EXPECT_EQ(dev.serial(), "API-A");
    EventRecord record;
    ASSERT_EQ(dev.readEvent(record, 4000), 1);
    EXPECT_TRUE(record.initial);
    Device other;
    ASSERT_EQ(other.open("API-F"), Ok);
    other = std::move(dev);  // closes API-F, takes API-A
    EXPECT_EQ(other.serial(), "API-A");
    Device again;
    EXPECT_EQ(again.open("API-F"), Ok);
}

TEST(DevicePaths, IdentityValuesAndWritesAsTheModuleHasThem) {
    const std::vector<std::string> listed = devices();
    ASSERT_EQ(listed, (std::vector<std::string>{"API-A", "API-F"}));
    Device dev;
    ASSERT_EQ(dev.open("API-A"), Ok);
    ASSERT_EQ(dev.start(), Ok);
    EXPECT_EQ(dev.name(), "Api Rack");
    EXPECT_EQ(dev.serial(), "API-A");
    EXPECT_EQ(dev.typeText(), "TIO-8");
    EXPECT_EQ(dev.firmwareVersion(), "2.1.0");
    EXPECT_EQ(dev.configIndex(), 0);  // recorded by the listing, as root
    EXPECT_EQ(dev.status(), Ok);
    EXPECT_EQ(dev.pointCount(Inputs), 4u);
    EXPECT_EQ(dev.pointCount(Outputs), 2u);
    EXPECT_EQ(dev.value(Inputs, 1), 1);
    EXPECT_TRUE(dev.isRelay(Outputs, 0));
    EXPECT_FALSE(dev.isRelay(Outputs, 1));
    struct Write {
        uint32_t type;
        int32_t index;
        int32_t value;
        int result;
    };
    for (const Write& w :
         {Write{Inputs, 0, 1, InvalidParameterValue}, Write{Outputs, 2, 1, IoPointOutOfRange},
          Write{Outputs, -1, 1, IoPointOutOfRange}, Write{Outputs, 1, 2, InvalidParameterValue},
          Write{Outputs, 1, 1, Ok}}) {
        EXPECT_EQ(dev.setValue(w.type, w.index, w.value), w.result)
            << w.type << "/" << w.index << " = " << w.value;
    }
    EXPECT_EQ(dev.waitForExchange(4000), Ok);
    EXPECT_EQ(dev.value(Outputs, 1), 1);
    EXPECT_EQ(dev.value(Outputs, 2), IoPointOutOfRange);
    dev.close();
    EXPECT_EQ(dev.status(), DeviceNotOpen);
    EXPECT_EQ(dev.value(Outputs, 1), DeviceNotOpen);
    EXPECT_EQ(dev.setValue(Outputs, 1, 0), DeviceNotOpen);
}

// The file as it stands at each open, whatever it said when the module was first opened.
TEST(DevicePaths, TavrikIniNameAndLimitsApplyAtEachOpen) {
    std::ofstream(kConfigFile) << "[device0]\nserial=API-A\ntype=TIO-8\nname=Edited\ninputs=2\n";
    Device dev;
    ASSERT_EQ(dev.open("API-A"), Ok);
    EXPECT_EQ(dev.name(), "Edited");
    EXPECT_EQ(dev.configIndex(), 0);
    EXPECT_EQ(dev.pointCount(Inputs), 2u);
    EXPECT_EQ(dev.value(Inputs, 1), 1);
    EXPECT_EQ(dev.value(Inputs, 2), IoPointOutOfRange);
    dev.close();
    std::filesystem::remove(kConfigFile);
}

TEST(DevicePaths, UnknownModuleCannotBeOpened) {
    Device dev;
    EXPECT_EQ(dev.open("NO-SUCH"), UnableToOpenDevice);
    EXPECT_FALSE(dev.viaService());
    EXPECT_EQ(dev.status(), UnableToOpenDevice);
}

}  // namespace
}  // namespace tavrik
