// The public device as a user's program meets it, on both paths: opened directly, and (with
// TAVRIK_TEST_VIA_SERVICE=1) through tavrikd, which holds the module on a private bus. One
// scenario serves the whole program, since the process reads it once.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "scratch_dir.h"
#include "tavrik/tavrik.h"
#ifndef _WIN32
#include "test_service.h"
#endif

namespace tavrik {
namespace {

// The input changes late enough for the first test to have subscribed on either path.
const char kScenario[] =
    "[module]\nserial = API-A\nlocation = 1-1\ninfo_name = Api Rack\n"
    "config = 0 0 0 0 65 1\npoint = 0 1 1\nat = 4000 set 0 2 1\n";
const std::string kConfigFile = std::string(TAVRIK_TEST_CONFIG_DIR) + "/tavrik.ini";

void setEnv(const std::string& key, const std::string& value) {
#ifdef _WIN32
    _putenv_s(key.c_str(), value.c_str());
#else
    setenv(key.c_str(), value.c_str(), 1);
#endif
}

class ScenarioEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::filesystem::create_directories(TAVRIK_TEST_CONFIG_DIR);
        std::filesystem::remove(kConfigFile);
        const std::string scenario = dir_.file("bus.scenario", kScenario);
        setEnv("TAVRIK_VIRTUAL_SCENARIO", scenario);
#ifndef _WIN32
        if (test::viaService()) {
            service_ = std::make_unique<test::TestService>();
            ASSERT_TRUE(service_->start(scenario)) << service_->why();
            for (const auto& [key, value] : service_->clientEnv()) {
                setEnv(key, value);
            }
        }
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        service_.reset();
#endif
        std::filesystem::remove(kConfigFile);
    }

  private:
    test::ScratchDir dir_{"tavrik-api-paths"};
#ifndef _WIN32
    std::unique_ptr<test::TestService> service_;
#endif
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ScenarioEnvironment);

bool expectedViaService() {
#ifdef _WIN32
    return false;
#else
    return test::viaService();
#endif
}

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

// First: the change comes 4 s after the module's first keep-alive, which this case's open (or
// the service's, just before) sends; ctest runs each case in a process of its own.
TEST(DevicePaths, EventsAreTheFirstReportsThenChangesThenTheEnd) {
    Seen seen;
    {
        Device dev;
        dev.setEventCallback([&](const Event& e) {
            std::lock_guard<std::mutex> lock(seen.mutex);
            seen.events.push_back(e);
            seen.changed.notify_all();
        });
        ASSERT_EQ(dev.open("API-A"), Ok);
        EXPECT_EQ(dev.viaService(), expectedViaService());
        ASSERT_EQ(dev.start(), Ok);
        ASSERT_TRUE(seen.waitFor(5));
        dev.close();
    }
    std::lock_guard<std::mutex> lock(seen.mutex);
    std::vector<std::vector<int32_t>> got;
    for (const Event& e : seen.events) {
        got.push_back(
            {e.kind, static_cast<int32_t>(e.type), static_cast<int32_t>(e.index), e.value});
    }
    const std::vector<std::vector<int32_t>> expected = {
        {Event::Io, Inputs, 0, 0}, {Event::Io, Inputs, 1, 1},
        {Event::Io, Inputs, 2, 0}, {Event::Io, Inputs, 3, 0},
        {Event::Io, Inputs, 2, 1}, {Event::Error, kIoTypeCount, 0, ApiThreadStopped}};
    EXPECT_EQ(got, expected);
}

TEST(DevicePaths, IdentityValuesAndWritesAsTheModuleHasThem) {
    const std::vector<std::string> listed = devices();
    ASSERT_EQ(listed, std::vector<std::string>{"API-A"});
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
