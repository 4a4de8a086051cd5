// A private dbus-daemon on a socket in a scratch directory, tavrikd_virtual on it over a
// scenario of virtual modules, and a client connection to both. Every wait is bounded; both
// processes are killed and reaped when the fixture goes, also after a failure.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "test_service.h"

namespace tavrik::test {

// A signal the client saw: PointChanged, Error or a change of State.
struct SeenSignal {
    std::string path;
    std::string member;  // "PointChanged", "Error", "State"
    uint32_t type = 0;
    uint32_t index = 0;
    int32_t value = 0;  // PointChanged: value; Error: code
    bool initial = false;
    uint64_t sequence = 0;
    uint64_t timestamp = 0;
    std::string text;  // Error: message; State: the new state
};

struct CallResult {
    std::string error;  // D-Bus error name, empty on success
    std::string message;
    sd_bus_message* reply = nullptr;  // owned by the result
    CallResult() = default;
    CallResult(const CallResult&) = delete;
    CallResult& operator=(const CallResult&) = delete;
    CallResult(CallResult&& other) noexcept;
    ~CallResult() { sd_bus_message_unref(reply); }
};

class DaemonBusTest : public testing::Test {
  protected:
    void TearDown() override;

    // Starts the bus, connects the client and subscribes to the signals, then starts the
    // daemon over scenario (the text of the scenario file; its log is module.log) and waits
    // until its first scan is done.
    void startDaemon(const std::string& scenario, const std::vector<std::string>& extraArgs = {});

    // Writes the tavrik.ini that the daemon would read (the build's scratch configuration
    // directory); TearDown removes it.
    void writeConfig(const std::string& text);
    // A property of type "au".
    std::vector<uint32_t> numbersProperty(const std::string& serial, const char* name);
    // GetValues' rows, one per type.
    std::vector<std::vector<int32_t>> allValues(const std::string& serial);

    static std::string modulePath(const std::string& serial);
    // Calls a method with arguments appended by append; waits at most 5 s.
    CallResult call(const std::string& path, const char* interface, const char* member,
                    const std::function<void(sd_bus_message*)>& append = {});
    CallResult callModule(const std::string& serial, const char* member,
                          const std::function<void(sd_bus_message*)>& append = {});
    std::string stringProperty(const std::string& serial, const char* name);
    // Handles the bus's traffic until done() holds or timeoutMs passes.
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);
    bool waitForState(const std::string& serial, const std::string& state, int timeoutMs);
    // Handles what has arrived for at least ms.
    void pump(int ms);
    std::vector<SeenSignal> signalsOf(const std::string& serial, const std::string& member) const;
    // The module's log lines of one kind ("app"), as written so far.
    std::vector<std::string> logLines(const std::string& kind) const;

    std::unique_ptr<ScratchDir> dir_;
    ChildProcess bus_;
    ChildProcess daemon_;
    sd_bus* client_ = nullptr;
    std::vector<sd_bus_slot*> matches_;
    std::vector<SeenSignal> signals_;

  private:
    bool wroteConfig_ = false;
    static int onModuleSignal(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error* error);
};

}  // namespace tavrik::test
