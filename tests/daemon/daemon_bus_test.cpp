// tavrikd as its clients see it: the objects, values, signals, inhibitors and reopening over
// a real dbus-daemon.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "daemon_bus_fixture.h"
#include "point_layout.h"
#include "tavrik_message.h"
#include "tavrik_result.h"

namespace tavrik::test {
namespace {

// A100: 4 inputs (inputs[2] on), a relay and a plain output, a watchdog. B200: in its
// bootloader.
const char kModules[] =
    "log = module.log\n"
    "[module]\nserial = A100\ninfo_name = Rack 1\ntype = TIO-8\nconfig = 0 0 0 0 65 1 5\n"
    "point = 0 2 1\n"
    "[module]\nserial = B200\nbootloader = 1\n";
const std::vector<uint8_t> kA100Config{0, 0, 0, 0, 65, 1, 5};

// The value of a point in the image of the last state exchange the module received.
int32_t lastSentValue(const std::vector<std::string>& appLines, uint32_t type, uint32_t index) {
    for (auto line = appLines.rbegin(); line != appLines.rend(); ++line) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i + 1 < line->size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(line->substr(i, 2), nullptr, 16)));
        }
        if (bytes.size() < msg::BasicImage + msg::BasicChunk || bytes[1] != 2) {
            continue;
        }
        const std::vector<uint8_t> image(bytes.begin() + msg::BasicImage,
                                         bytes.begin() + msg::BasicImage + msg::BasicChunk);
        const virt::PointLayout layout = virt::layoutFor(kA100Config, false);
        const virt::PointSlot* slot = layout.find(type, index);
        return slot != nullptr ? virt::hostValue(*slot, virt::readRaw(image, *slot)) : -1000;
    }
    return -1000;
}

int32_t readInt(CallResult& result) {
    int32_t value = -1000;
    if (result.reply != nullptr) {
        sd_bus_message_read(result.reply, "i", &value);
    }
    return value;
}

auto point(uint32_t type, uint32_t index, int32_t value = 0) {
    return [=](sd_bus_message* m) { sd_bus_message_append(m, "uui", type, index, value); };
}

auto points(const std::vector<std::array<int64_t, 3>>& writes) {
    return [=](sd_bus_message* m) {
        sd_bus_message_open_container(m, 'a', "(uui)");
        for (const auto& w : writes) {
            sd_bus_message_append(m, "(uui)", static_cast<uint32_t>(w[0]),
                                  static_cast<uint32_t>(w[1]), static_cast<int32_t>(w[2]));
        }
        sd_bus_message_close_container(m);
    };
}

TEST_F(DaemonBusTest, ShowsEachModuleWithItsIdentityAndState) {
    startDaemon(kModules);
    CallResult objects =
        call("/io/tavrik1", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    ASSERT_EQ(objects.error, "") << objects.message;
    std::map<std::string, std::map<std::string, std::string>> seen;  // path -> property texts
    sd_bus_message* m = objects.reply;
    ASSERT_GE(sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}"), 0);
    while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
        const char* path = nullptr;
        sd_bus_message_read(m, "o", &path);
        sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
        while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
            const char* interface = nullptr;
            sd_bus_message_read(m, "s", &interface);
            sd_bus_message_enter_container(m, 'a', "{sv}");
            while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
                const char* name = nullptr;
                sd_bus_message_read(m, "s", &name);
                const char* contents = nullptr;
                sd_bus_message_peek_type(m, nullptr, &contents);
                if (std::strcmp(contents, "s") == 0) {
                    const char* text = nullptr;
                    sd_bus_message_read(m, "v", "s", &text);
                    seen[path][name] = text;
                } else {
                    sd_bus_message_skip(m, "v");
                    seen[path][name] = "?";
                }
                sd_bus_message_exit_container(m);
            }
            sd_bus_message_exit_container(m);
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        sd_bus_message_exit_container(m);
    }
    ASSERT_EQ(seen.size(), 2u);
    auto& a = seen[modulePath("A100")];
    EXPECT_EQ(a["Serial"], "A100");
    EXPECT_EQ(a["State"], "running");
    EXPECT_EQ(a["Name"], "Rack 1");
    EXPECT_EQ(a["InfoSerial"], "A100");
    EXPECT_EQ(a["TypeText"], "TIO-8");
    EXPECT_EQ(a["FirmwareVersion"], "2.1.0");
    EXPECT_EQ(a["HardwareVersion"], "B");
    EXPECT_EQ(a["ProductString"], "Tavrik IO");
    auto& b = seen[modulePath("B200")];
    EXPECT_EQ(b["State"], "bootloader");
    EXPECT_EQ(b["TypeText"], "");

    sd_bus_message* reply = nullptr;
    ASSERT_GE(sd_bus_get_property(client_, "io.tavrik1", modulePath("A100").c_str(),
                                  "io.tavrik1.Module", "PointCounts", nullptr, &reply, "au"),
              0);
    const void* counts = nullptr;
    size_t size = 0;
    ASSERT_GE(sd_bus_message_read_array(reply, 'u', &counts, &size), 0);
    const std::vector<uint32_t> expected{4, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(size, expected.size() * sizeof(uint32_t));
    EXPECT_EQ(std::memcmp(counts, expected.data(), size), 0);
    sd_bus_message_unref(reply);
    reply = nullptr;
    ASSERT_GE(sd_bus_get_property(client_, "io.tavrik1", modulePath("A100").c_str(),
                                  "io.tavrik1.Module", "RelayOutputs", nullptr, &reply, "au"),
              0);
    ASSERT_GE(sd_bus_message_read_array(reply, 'u', &counts, &size), 0);
    ASSERT_EQ(size, sizeof(uint32_t));
    EXPECT_EQ(*static_cast<const uint32_t*>(counts), 0u);
    sd_bus_message_unref(reply);

    char* version = nullptr;
    ASSERT_GE(sd_bus_get_property_string(client_, "io.tavrik1", "/io/tavrik1", "io.tavrik1.Manager",
                                         "Version", nullptr, &version),
              0);
    EXPECT_STREQ(version, "1.2.3");
    free(version);
}

TEST_F(DaemonBusTest, ReadsOnePointAndTheWholeTable) {
    startDaemon(kModules);
    CallResult one = callModule("A100", "GetValue",
                                [](sd_bus_message* m) { sd_bus_message_append(m, "uu", 0u, 2u); });
    ASSERT_EQ(one.error, "") << one.message;
    EXPECT_EQ(readInt(one), 1);

    CallResult all = callModule("A100", "GetValues");
    ASSERT_EQ(all.error, "") << all.message;
    std::vector<std::vector<int32_t>> values;
    ASSERT_GE(sd_bus_message_enter_container(all.reply, 'a', "ai"), 0);
    const void* row = nullptr;
    size_t size = 0;
    while (sd_bus_message_read_array(all.reply, 'i', &row, &size) > 0) {
        const auto* first = static_cast<const int32_t*>(row);
        values.emplace_back(first, first + size / sizeof(int32_t));
    }
    ASSERT_EQ(values.size(), 13u);
    EXPECT_EQ(values[0], (std::vector<int32_t>{0, 0, 1, 0}));
    EXPECT_EQ(values[1], (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(values[5].size(), 1u);
    EXPECT_TRUE(values[2].empty());
}

// Clients apply tavrik.ini's names and limits at the time of each command, so the service
// shows the module as it is whatever the file says.
TEST_F(DaemonBusTest, ShowsEveryPointAndTheModulesOwnNameWhateverTavrikIniSays) {
    writeConfig(
        "[device0]\nserial=A100\nname=Front door\ninputs=1\noutputs=0\nwatchdog=0\n"
        "[device1]\nserial=C300\nname=Back door\n");
    startDaemon(std::string(kModules) + "[module]\nserial = C300\nconfig = 0 1\n");
    EXPECT_EQ(stringProperty("A100", "Name"), "Rack 1");
    EXPECT_EQ(numbersProperty("A100", "PointCounts"),
              (std::vector<uint32_t>{4, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(numbersProperty("A100", "RelayOutputs"), std::vector<uint32_t>{0});
    // No name in its information block: none, not the file's nor the product string.
    EXPECT_EQ(stringProperty("C300", "Name"), "");
    EXPECT_EQ(stringProperty("C300", "ProductString"), "Tavrik IO");

    const std::vector<std::vector<int32_t>> values = allValues("A100");
    ASSERT_EQ(values.size(), 13u);
    EXPECT_EQ(values[0], (std::vector<int32_t>{0, 0, 1, 0}));
    EXPECT_EQ(values[1].size(), 2u);
    EXPECT_EQ(values[5].size(), 1u);
    CallResult set = callModule("A100", "SetValues", points({{1, 1, 1}, {5, 0, 30}}));
    ASSERT_EQ(set.error, "") << set.message;
    EXPECT_EQ(lastSentValue(logLines("app"), 1, 1), 1);
    EXPECT_EQ(lastSentValue(logLines("app"), 5, 0), 30);
}

// Opens of different modules do not wait for each other: one that never answers is tried
// again and again while another is served all along.
TEST_F(DaemonBusTest, AModuleThatCannotBeOpenedLeavesTheOthersServed) {
    startDaemon(std::string(kModules) +
                "[module]\nserial = A000\nfault = no_reply count=1000000\n");
    EXPECT_EQ(stringProperty("A000", "State"), "reopening");
    EXPECT_EQ(stringProperty("A100", "State"), "running");
    const auto failedOpens = [&] {
        const std::string log = dir_->read("tavrikd.err");
        size_t n = 0;
        for (size_t at = log.find("A000: cannot open"); at != std::string::npos;
             at = log.find("A000: cannot open", at + 1)) {
            ++n;
        }
        return n;
    };
    for (int32_t value : {1, 0, 1}) {
        const size_t before = failedOpens();
        CallResult set = callModule("A100", "SetValue", point(1, 1, value));
        ASSERT_EQ(set.error, "") << set.message;
        EXPECT_EQ(lastSentValue(logLines("app"), 1, 1), value);
        ASSERT_TRUE(waitUntil([&] { return failedOpens() > before; }, 10000));
    }
    EXPECT_EQ(stringProperty("A100", "State"), "running");
    for (const SeenSignal& state : signalsOf("A100", "State")) {
        EXPECT_EQ(state.text, "running");
    }
}

TEST_F(DaemonBusTest, SetValueReturnsOnceTheModuleTookTheValue) {
    startDaemon(kModules);
    ASSERT_EQ(lastSentValue(logLines("app"), 1, 1), 0);
    CallResult set = callModule("A100", "SetValue", point(1, 1, 1));
    ASSERT_EQ(set.error, "") << set.message;
    // Read at once after the reply: the exchange that carried it has been answered.
    EXPECT_EQ(lastSentValue(logLines("app"), 1, 1), 1);
    CallResult get = callModule("A100", "GetValue",
                                [](sd_bus_message* m) { sd_bus_message_append(m, "uu", 1u, 1u); });
    EXPECT_EQ(readInt(get), 1);
}

TEST_F(DaemonBusTest, BadPointsGetTheDeviceLayersNamedErrors) {
    startDaemon(kModules);
    struct Case {
        uint32_t type;
        uint32_t index;
        int32_t value;
        const char* error;
        const char* message;
    };
    const char* range = "io.tavrik1.Error.IoPointOutOfRange";
    const char* invalid = "io.tavrik1.Error.InvalidParameterValue";
    const Case cases[] = {
        {0, 0, 1, invalid, "invalid parameter value"},  // an input is not writable
        {1, 0, 2, invalid, "invalid parameter value"},
        {1, 0, -1, invalid, "invalid parameter value"},
        {5, 0, 0x10000, invalid, "invalid parameter value"},
        {1, 2, 1, range, "IO point number outside range"},
        {1, 0xFFFFFFFFu, 1, range, "IO point number outside range"},
        {13, 0, 1, range, "IO point number outside range"},
        {0xFFFFFFFFu, 0, 1, range, "IO point number outside range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.index) + " " +
                     std::to_string(c.value));
        CallResult set = callModule("A100", "SetValue", point(c.type, c.index, c.value));
        EXPECT_EQ(set.error, c.error);
        EXPECT_EQ(set.message, c.message);
        CallResult values = callModule("A100", "SetValues", points({{c.type, c.index, c.value}}));
        EXPECT_EQ(values.error, c.error);
        EXPECT_EQ(values.message, c.message);
    }
    for (const auto& [type, index] :
         std::vector<std::pair<uint32_t, uint32_t>>{{0, 4}, {13, 0}, {0, 0x80000000u}}) {
        CallResult get = callModule("A100", "GetValue", [&](sd_bus_message* m) {
            sd_bus_message_append(m, "uu", type, index);
        });
        EXPECT_EQ(get.error, range);
        EXPECT_EQ(get.message, "IO point number outside range");
    }
    // Arguments of the wrong types are refused by sd-bus, and the daemon goes on.
    CallResult wrong = callModule("A100", "SetValue",
                                  [](sd_bus_message* m) { sd_bus_message_append(m, "s", "1"); });
    EXPECT_EQ(wrong.error, "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(stringProperty("A100", "State"), "running");
    EXPECT_EQ(lastSentValue(logLines("app"), 1, 0), 0);
}

TEST_F(DaemonBusTest, SetValuesSetsAllOrNothing) {
    startDaemon(kModules);
    CallResult refused = callModule("A100", "SetValues", points({{1, 0, 1}, {1, 1, 2}}));
    EXPECT_EQ(refused.error, "io.tavrik1.Error.InvalidParameterValue");
    CallResult get = callModule("A100", "GetValue",
                                [](sd_bus_message* m) { sd_bus_message_append(m, "uu", 1u, 0u); });
    EXPECT_EQ(readInt(get), 0);

    CallResult taken = callModule("A100", "SetValues", points({{1, 0, 1}, {1, 1, 1}}));
    ASSERT_EQ(taken.error, "") << taken.message;
    const std::vector<std::string> sent = logLines("app");
    EXPECT_EQ(lastSentValue(sent, 1, 0), 1);
    EXPECT_EQ(lastSentValue(sent, 1, 1), 1);
}

TEST_F(DaemonBusTest, ReportsInputChangesInOrderAfterTheInitialReports) {
    startDaemon(
        std::string(kModules).replace(std::string(kModules).find("point = 0 2 1\n"), 14,
                                      "point = 0 2 1\nat = 800 set 0 3 1\nat = 900 set 0 0 1\n"));
    // The changes come well after the opening, so that a slow start still reports the
    // inputs as they were first.
    waitUntil([&] { return signalsOf("A100", "PointChanged").size() >= 6; }, 4000);
    const std::vector<SeenSignal> seen = signalsOf("A100", "PointChanged");
    struct Expected {
        uint32_t index;
        int32_t value;
        bool initial;
    };
    const Expected expected[] = {{0, 0, true}, {1, 0, true},  {2, 1, true},
                                 {3, 0, true}, {3, 1, false}, {0, 1, false}};
    ASSERT_EQ(seen.size(), std::size(expected));
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].type, 0u);
        EXPECT_EQ(seen[i].index, expected[i].index);
        EXPECT_EQ(seen[i].value, expected[i].value);
        EXPECT_EQ(seen[i].initial, expected[i].initial);
        EXPECT_EQ(seen[i].sequence, i + 1);
        if (i > 0) {
            EXPECT_GE(seen[i].timestamp, seen[i - 1].timestamp);
        }
    }
    EXPECT_TRUE(signalsOf("A100", "Error").empty());
}

TEST_F(DaemonBusTest, ReopensAModuleThatStoppedAnswering) {
    // C300 answers its opening and the first exchange of its API thread, then lets the next
    // state exchange go unanswered through every attempt.
    startDaemon(std::string(kModules) +
                "[module]\nserial = C300\nconfig = 0 1\nfault = no_reply command=2 after=2 "
                "count=5\n");
    ASSERT_TRUE(waitUntil([&] { return signalsOf("C300", "Error").size() >= 2; }, 5000));
    const std::vector<SeenSignal> errors = signalsOf("C300", "Error");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].value, tavrik::CommunicationTimeout);
    EXPECT_EQ(errors[0].text, "Communication timeout");
    EXPECT_EQ(errors[1].value, tavrik::ApiThreadStopped);
    EXPECT_EQ(errors[1].text, "API thread has stopped running");
    EXPECT_EQ(errors[1].sequence, errors[0].sequence + 1);

    std::vector<std::string> states;
    waitUntil(
        [&] {
            states.clear();
            for (const SeenSignal& s : signalsOf("C300", "State")) {
                states.push_back(s.text);
            }
            return states.size() >= 3;
        },
        5000);
    EXPECT_EQ(states, (std::vector<std::string>{"running", "reopening", "running"}));
    // The reopened module reports its input afresh, counting from 1 again.
    ASSERT_TRUE(waitUntil([&] { return signalsOf("C300", "PointChanged").size() >= 2; }, 3000));
    const SeenSignal again = signalsOf("C300", "PointChanged").back();
    EXPECT_TRUE(again.initial);
    EXPECT_EQ(again.sequence, 1u);
    EXPECT_EQ(stringProperty("A100", "State"), "running");
}

int takeFd(CallResult& result) {
    int fd = -1;
    if (result.reply == nullptr || sd_bus_message_read(result.reply, "h", &fd) < 0) {
        return -1;
    }
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    // The reply owns its descriptor: only our copy may remain.
    result.reply = sd_bus_message_unref(result.reply);
    return copy;
}

TEST_F(DaemonBusTest, InhibitReleasesTheModuleUntilTheHolderLetsGo) {
    startDaemon(kModules);
    for (const bool killHolder : {false, true}) {
        SCOPED_TRACE(killHolder ? "holder killed" : "descriptor closed");
        CallResult inhibit = callModule(
            "A100", "Inhibit", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "test"); });
        ASSERT_EQ(inhibit.error, "") << inhibit.message;
        int fd = takeFd(inhibit);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(stringProperty("A100", "State"), "inhibited");
        CallResult get = callModule(
            "A100", "GetValue", [](sd_bus_message* m) { sd_bus_message_append(m, "uu", 0u, 2u); });
        EXPECT_EQ(get.error, "io.tavrik1.Error.DeviceBusy");
        EXPECT_EQ(get.message, "Device is busy");
        CallResult second = callModule(
            "A100", "Inhibit", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "second"); });
        EXPECT_EQ(second.error, "io.tavrik1.Error.DeviceBusy");

        pid_t holder = -1;
        if (killHolder) {
            holder = ::fork();
            if (holder == 0) {
                for (;;) {
                    ::pause();
                }
            }
        }
        ::close(fd);
        if (killHolder) {
            // The holder's copy keeps it inhibited.
            pump(400);
            EXPECT_EQ(stringProperty("A100", "State"), "inhibited");
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
        ASSERT_TRUE(waitForState("A100", "running", 5000));
        CallResult after = callModule(
            "A100", "GetValue", [](sd_bus_message* m) { sd_bus_message_append(m, "uu", 0u, 2u); });
        EXPECT_EQ(after.error, "");
        EXPECT_EQ(readInt(after), 1);
    }
}

TEST_F(DaemonBusTest, RescanDropsAModuleThatLeftAndFindsItWhenItComesBack) {
    // D400 leaves the bus instead of answering an exchange a few periodic ones in, well
    // after the scan that startDaemon waits for, and comes back in its bootloader. The periodic
    // scan is far off: only Rescan sees it.
    startDaemon(std::string(kModules) +
                    "[module]\nserial = D400\nconfig = 0\nfault = vanish command=2 after=5 "
                    "back_ms=1500\n",
                {"--rescan-ms", "60000"});
    ASSERT_TRUE(waitForState("D400", "reopening", 5000));
    CallResult rescan = call("/io/tavrik1", "io.tavrik1.Manager", "Rescan");
    ASSERT_EQ(rescan.error, "") << rescan.message;
    EXPECT_EQ(stringProperty("D400", "State"), "error: org.freedesktop.DBus.Error.UnknownObject");
    const bool back = waitUntil(
        [&] {
            call("/io/tavrik1", "io.tavrik1.Manager", "Rescan");
            return stringProperty("D400", "State") == "bootloader";
        },
        5000);
    EXPECT_TRUE(back) << stringProperty("D400", "State");
    EXPECT_EQ(stringProperty("A100", "State"), "running");
}

}  // namespace
}  // namespace tavrik::test
