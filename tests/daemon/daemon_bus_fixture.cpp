#include "daemon_bus_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace tavrik::test {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

CallResult::CallResult(CallResult&& other) noexcept
    : error(std::move(other.error)), message(std::move(other.message)), reply(other.reply) {
    other.reply = nullptr;
}

void DaemonBusTest::writeConfig(const std::string& text) {
    std::filesystem::create_directories(TAVRIK_TEST_CONFIG_DIR);
    std::ofstream(std::string(TAVRIK_TEST_CONFIG_DIR) + "/tavrik.ini") << text;
    wroteConfig_ = true;
}

std::vector<uint32_t> DaemonBusTest::numbersProperty(const std::string& serial, const char* name) {
    std::vector<uint32_t> numbers;
    sd_bus_message* reply = nullptr;
    if (sd_bus_get_property(client_, "io.tavrik1", modulePath(serial).c_str(), "io.tavrik1.Module",
                            name, nullptr, &reply, "au") >= 0) {
        const void* data = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(reply, 'u', &data, &size) >= 0 && size > 0) {
            const auto* first = static_cast<const uint32_t*>(data);
            numbers.assign(first, first + size / sizeof(uint32_t));
        }
    }
    sd_bus_message_unref(reply);
    return numbers;
}

std::vector<std::vector<int32_t>> DaemonBusTest::allValues(const std::string& serial) {
    std::vector<std::vector<int32_t>> values;
    CallResult all = callModule(serial, "GetValues");
    if (all.reply == nullptr || sd_bus_message_enter_container(all.reply, 'a', "ai") < 0) {
        return values;
    }
    const void* row = nullptr;
    size_t size = 0;
    while (sd_bus_message_read_array(all.reply, 'i', &row, &size) > 0) {
        const auto* first = static_cast<const int32_t*>(row);
        values.emplace_back(first, first + size / sizeof(int32_t));
    }
    return values;
}

void DaemonBusTest::TearDown() {
    for (sd_bus_slot* slot : matches_) {
        sd_bus_slot_unref(slot);
    }
    matches_.clear();
    client_ = sd_bus_flush_close_unref(client_);
    const int daemonStatus = daemon_.stop(SIGTERM, 5000);
    bus_.kill();
    if (wroteConfig_) {
        std::filesystem::remove(std::string(TAVRIK_TEST_CONFIG_DIR) + "/tavrik.ini");
    }
    if (dir_) {
        if (HasFailure()) {
            std::cerr << "tavrikd's output:\n" << dir_->read("tavrikd.err") << std::endl;
        } else {
            // A clean shutdown on SIGTERM ends with status 0.
            EXPECT_EQ(daemonStatus, 0) << dir_->read("tavrikd.err");
        }
    }
}

void DaemonBusTest::startDaemon(const std::string& scenario,
                                const std::vector<std::string>& extraArgs) {
    dir_ = std::make_unique<ScratchDir>("tavrikd-test");
    const std::string address = startTestBus(bus_, *dir_, TAVRIK_POLICY_FILE);
    ASSERT_FALSE(address.empty()) << dir_->read("dbus.err");

    ASSERT_GE(sd_bus_new(&client_), 0);
    ASSERT_GE(sd_bus_set_address(client_, address.c_str()), 0);
    ASSERT_GE(sd_bus_set_bus_client(client_, 1), 0);
    ASSERT_GE(sd_bus_start(client_), 0);
    sd_bus_set_method_call_timeout(client_, 5 * 1000 * 1000);
    sd_bus_slot* slot = nullptr;
    ASSERT_GE(sd_bus_match_signal(client_, &slot, nullptr, nullptr, "io.tavrik1.Module", nullptr,
                                  &DaemonBusTest::onModuleSignal, this),
              0);
    matches_.push_back(slot);
    ASSERT_GE(
        sd_bus_match_signal(client_, &slot, nullptr, nullptr, "org.freedesktop.DBus.Properties",
                            "PropertiesChanged", &DaemonBusTest::onPropertiesChanged, this),
        0);
    matches_.push_back(slot);

    dir_->file("scenario.txt", scenario);
    std::vector<std::string> args{"--bus", address,           "--reopen-min-ms",
                                  "100",   "--reopen-max-ms", "400"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    ASSERT_TRUE(daemon_.start(TAVRIKD_PROGRAM, args,
                              {{"TAVRIK_VIRTUAL_SCENARIO", dir_->path("scenario.txt")}},
                              dir_->path("tavrikd.err")));
    const bool owned = waitUntil(
        [&] {
            sd_bus_message* reply = nullptr;
            int has = 0;
            if (sd_bus_call_method(client_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                                   "io.tavrik1") >= 0) {
                sd_bus_message_read(reply, "b", &has);
            }
            sd_bus_message_unref(reply);
            return has != 0;
        },
        5000);
    ASSERT_TRUE(owned) << dir_->read("tavrikd.err");
    // Returns once the openings of the first scan have ended too.
    CallResult rescan = call("/io/tavrik1", "io.tavrik1.Manager", "Rescan");
    ASSERT_EQ(rescan.error, "") << rescan.message;
}

std::string DaemonBusTest::modulePath(const std::string& serial) {
    char* path = nullptr;
    sd_bus_path_encode("/io/tavrik1/module", serial.c_str(), &path);
    std::string text = path != nullptr ? path : "";
    free(path);
    return text;
}

CallResult DaemonBusTest::call(const std::string& path, const char* interface, const char* member,
                               const std::function<void(sd_bus_message*)>& append) {
    CallResult result;
    sd_bus_message* message = nullptr;
    if (sd_bus_message_new_method_call(client_, &message, "io.tavrik1", path.c_str(), interface,
                                       member) < 0) {
        result.error = "cannot build the call";
        return result;
    }
    if (append) {
        append(message);
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_call(client_, message, 5 * 1000 * 1000, &error, &result.reply) < 0) {
        result.error = error.name != nullptr ? error.name : "no error name";
        result.message = error.message != nullptr ? error.message : "";
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(message);
    return result;
}

CallResult DaemonBusTest::callModule(const std::string& serial, const char* member,
                                     const std::function<void(sd_bus_message*)>& append) {
    return call(modulePath(serial), "io.tavrik1.Module", member, append);
}

std::string DaemonBusTest::stringProperty(const std::string& serial, const char* name) {
    char* value = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::string text;
    if (sd_bus_get_property_string(client_, "io.tavrik1", modulePath(serial).c_str(),
                                   "io.tavrik1.Module", name, &error, &value) >= 0) {
        text = value;
    } else {
        text = std::string("error: ") + (error.name != nullptr ? error.name : "");
    }
    free(value);
    sd_bus_error_free(&error);
    return text;
}

bool DaemonBusTest::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (client_ != nullptr) {
            while (sd_bus_process(client_, nullptr) > 0) {
            }
        }
        if (done()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        if (client_ != nullptr) {
            sd_bus_wait(client_, 20 * 1000);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

bool DaemonBusTest::waitForState(const std::string& serial, const std::string& state,
                                 int timeoutMs) {
    return waitUntil([&] { return stringProperty(serial, "State") == state; }, timeoutMs);
}

void DaemonBusTest::pump(int ms) {
    waitUntil([] { return false; }, ms);
}

std::vector<SeenSignal> DaemonBusTest::signalsOf(const std::string& serial,
                                                 const std::string& member) const {
    std::vector<SeenSignal> seen;
    const std::string path = modulePath(serial);
    for (const SeenSignal& s : signals_) {
        if (s.path == path && s.member == member) {
            seen.push_back(s);
        }
    }
    return seen;
}

std::vector<std::string> DaemonBusTest::logLines(const std::string& kind) const {
    std::vector<std::string> lines;
    std::istringstream text(dir_->read("module.log"));
    std::string line;
    while (std::getline(text, line)) {
        if (line.rfind(kind + " ", 0) == 0) {
            lines.push_back(line.substr(kind.size() + 1));
        }
    }
    return lines;
}

int DaemonBusTest::onModuleSignal(sd_bus_message* message, void* self, sd_bus_error*) {
    SeenSignal seen;
    seen.path = sd_bus_message_get_path(message);
    seen.member = sd_bus_message_get_member(message);
    if (seen.member == "PointChanged") {
        int initial = 0;
        sd_bus_message_read(message, "uuibtt", &seen.type, &seen.index, &seen.value, &initial,
                            &seen.sequence, &seen.timestamp);
        seen.initial = initial != 0;
    } else if (seen.member == "Error") {
        const char* text = nullptr;
        sd_bus_message_read(message, "istt", &seen.value, &text, &seen.sequence, &seen.timestamp);
        seen.text = text != nullptr ? text : "";
    }
    static_cast<DaemonBusTest*>(self)->signals_.push_back(seen);
    return 0;
}

int DaemonBusTest::onPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error*) {
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0 ||
        std::strcmp(interface, "io.tavrik1.Module") != 0) {
        return 0;
    }
    if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
        return 0;
    }
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* name = nullptr;
        sd_bus_message_read(message, "s", &name);
        if (std::strcmp(name, "State") == 0) {
            const char* state = nullptr;
            sd_bus_message_read(message, "v", "s", &state);
            SeenSignal seen;
            seen.path = sd_bus_message_get_path(message);
            seen.member = "State";
            seen.text = state;
            static_cast<DaemonBusTest*>(self)->signals_.push_back(seen);
        } else {
            sd_bus_message_skip(message, "v");
        }
        sd_bus_message_exit_container(message);
    }
    return 0;
}

}  // namespace tavrik::test
