// The daemon's readers of outside input and its result names, each alone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <future>
#include <mutex>

#include "bus_names.h"
#include "module_scan.h"
#include "options.h"
#include "point_writes.h"
#include "worker.h"

namespace tavrik::daemon {
namespace {

struct OptionsCase {
    std::vector<std::string> args;
    std::string problem;  // empty: accepted
    DaemonOptions::Bus bus;
    std::string address;
    int reopenMinMs;
    int rescanMs;
};

TEST(DaemonOptionsTest, ReadsEveryFormAndRejectsTheRest) {
    using Bus = DaemonOptions::Bus;
    const OptionsCase cases[] = {
        {{}, "", Bus::System, "", 1000, 10000},
        {{"--session"}, "", Bus::Session, "", 1000, 10000},
        {{"--bus", "unix:path=/tmp/b"}, "", Bus::Address, "unix:path=/tmp/b", 1000, 10000},
        {{"--reopen-min-ms", "50", "--rescan-ms", "200"}, "", Bus::System, "", 50, 200},
        {{"--bus"}, "--bus needs an address", Bus::System, "", 1000, 10000},
        {{"--session", "--bus", "x"},
         "only one of --session and --bus may be given",
         Bus::System,
         "",
         1000,
         10000},
        {{"--rescan-ms", "0"},
         "--rescan-ms needs a number of milliseconds above 0",
         Bus::System,
         "",
         1000,
         10000},
        {{"--reopen-min-ms", "-5"},
         "--reopen-min-ms needs a number of milliseconds above 0",
         Bus::System,
         "",
         1000,
         10000},
        {{"--reopen-min-ms", "12x"},
         "--reopen-min-ms needs a number of milliseconds above 0",
         Bus::System,
         "",
         1000,
         10000},
        {{"--reopen-min-ms", "99999999999"},
         "--reopen-min-ms needs a number of milliseconds above 0",
         Bus::System,
         "",
         1000,
         10000},
        {{"--reopen-min-ms", "40000"},
         "--reopen-max-ms is below --reopen-min-ms",
         Bus::System,
         "",
         40000,
         10000},
        {{"-x"}, "unknown argument: -x", Bus::System, "", 1000, 10000},
    };
    for (const OptionsCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        DaemonOptions options;
        EXPECT_EQ(parseOptions(c.args, options), c.problem);
        if (c.problem.empty()) {
            EXPECT_EQ(options.bus, c.bus);
            EXPECT_EQ(options.address, c.address);
            EXPECT_EQ(options.reopenMinMs, c.reopenMinMs);
            EXPECT_EQ(options.rescanMs, c.rescanMs);
        }
    }
    DaemonOptions options;
    EXPECT_EQ(parseOptions({"-v", "-h"}, options), "");
    EXPECT_TRUE(options.version);
    EXPECT_TRUE(options.help);
}

// Both ways: the service names a result, its clients read the result back; whatever else an
// error says (the service gone, a timeout, a refused call) reads as no answer.
TEST(BusErrorNamesTest, NameEachResultAndReadBackAsIt) {
    for (const int code : {DeviceBusy, IoPointOutOfRange, InvalidParameterValue,
                           CommunicationTimeout, ApiThreadStopped, WatchdogReset, DeviceNotOpen}) {
        EXPECT_EQ(bus::resultOfErrorName(bus::errorName(code)), code) << bus::errorName(code);
    }
    EXPECT_EQ(bus::errorName(DeviceBusy), "io.tavrik1.Error.DeviceBusy");
    EXPECT_EQ(bus::errorName(-15), "io.tavrik1.Error.Unknown");
    EXPECT_EQ(bus::errorName(1), "io.tavrik1.Error.Unknown");
    for (const char* other :
         {"io.tavrik1.Error.Unknown", "io.tavrik1.Error.Ok", "io.tavrik1.Error.",
          "org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.ServiceUnknown", ""}) {
        EXPECT_EQ(bus::resultOfErrorName(other), CommunicationTimeout) << other;
    }
}

// The checks themselves are the device layer's (setValues); the daemon only hands the bus's
// numbers over, so that one past INT32_MAX names no point instead of wrapping to a real one.
TEST(DaemonPointWritesTest, HandsEachWriteToTheDeviceInOrder) {
    const std::vector<PointWrite> bus = {
        {Outputs, 1, 1},           {Watchdog, 0, 0xFFFF},      {Outputs, 0x7FFFFFFFu, 0},
        {Outputs, 0x80000000u, 1}, {Outputs, 0xFFFFFFFFu, -1}, {kIoTypeCount, 3, 2}};
    const std::vector<TavrikPointWrite> device = deviceWrites(bus);
    ASSERT_EQ(device.size(), bus.size());
    const int32_t indexes[] = {1, 0, 0x7FFFFFFF, -1, -1, 3};
    for (size_t i = 0; i < bus.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(device[i].type, bus[i].type);
        EXPECT_EQ(device[i].index, indexes[i]);
        EXPECT_EQ(device[i].value, bus[i].value);
    }
    EXPECT_TRUE(deviceWrites({}).empty());
    EXPECT_EQ(deviceIndex(7), 7);
    EXPECT_EQ(deviceIndex(0x80000000u), -1);
}

// A module whose open hangs in its retries holds up only its own later jobs: another module's
// open runs meanwhile, and the same module's close still comes after its open.
TEST(DaemonWorkerTest, KeysRunSideBySideAndEachKeyInOrder) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex mutex;
    std::vector<std::string> ran;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        ran.push_back(what);
    };
    std::promise<void> otherDone;
    {
        Worker worker(2);
        worker.post("SLOW", [&] {
            released.wait();  // the open in its retries
            note("SLOW open");
        });
        worker.post("SLOW", [&] { note("SLOW close"); });
        worker.post("A100", [&] { note("A100 open"); });
        worker.post("A100", [&] {
            note("A100 close");
            otherDone.set_value();
        });
        // A bound for a hung test: before, one thread ran every job in turn and A100 waited.
        EXPECT_EQ(otherDone.get_future().wait_for(std::chrono::seconds(10)),
                  std::future_status::ready);
        release.set_value();
    }  // runs what is left, then joins
    const std::vector<std::string> expected{"A100 open", "A100 close", "SLOW open", "SLOW close"};
    EXPECT_EQ(ran, expected);
}

TEST(DaemonWorkerTest, StopRunsEveryJobStillQueued) {
    std::atomic<int> done{0};
    {
        Worker worker(3);
        for (int i = 0; i < 50; ++i) {
            worker.post("M" + std::to_string(i % 4), [&] { ++done; });
            worker.post([&] { ++done; });
        }
        worker.stop();
        EXPECT_EQ(done.load(), 100);
    }
}

TEST(DaemonModuleScanTest, KeepsModulesWithASerialAndPrefersApplicationMode) {
    wchar_t serialA[] = L"A1";
    wchar_t serialB[] = L"B2";
    wchar_t product[] = L"Tavrik IO";
    hid::hid_device_info none{};
    hid::hid_device_info b{};
    b.serial_number = serialB;
    b.next = &none;
    hid::hid_device_info a{};
    a.serial_number = serialA;
    a.product_string = product;
    a.next = &b;
    std::map<std::string, FoundModule> found;
    collectModules(&a, false, found);
    hid::hid_device_info aInBootloader = a;
    aInBootloader.next = nullptr;
    aInBootloader.product_string = nullptr;
    wchar_t serialC[] = L"C3";
    hid::hid_device_info c{};
    c.serial_number = serialC;
    aInBootloader.next = &c;
    collectModules(&aInBootloader, true, found);

    ASSERT_EQ(found.size(), 3u);
    EXPECT_FALSE(found["A1"].bootloader);
    EXPECT_EQ(found["A1"].productString, "Tavrik IO");
    EXPECT_FALSE(found["B2"].bootloader);
    EXPECT_EQ(found["B2"].productString, "");
    EXPECT_TRUE(found["C3"].bootloader);
}

}  // namespace
}  // namespace tavrik::daemon
