// The backend of the programs' test variants: a bus of virtual modules described by the
// scenario file that TAVRIK_VIRTUAL_SCENARIO names. Without a readable file the bus is empty.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "hid_backend.h"
#include "scenario.h"
#include "virtual_module.h"

namespace tavrik::hid {

namespace {

// A relative log path is taken from the scenario file's directory, not the working one.
std::string besideFile(const std::string& file, const std::string& path) {
    const std::filesystem::path given(path);
    if (given.is_absolute()) {
        return path;
    }
    return (std::filesystem::path(file).parent_path() / given).string();
}

void load(virt::VirtualBus& bus) {
    const char* path = std::getenv("TAVRIK_VIRTUAL_SCENARIO");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::ifstream file(path);
    if (!file) {
        return;
    }
    std::ostringstream text;
    text << file.rdbuf();
    virt::Scenario scenario;
    virt::ScenarioError error;
    if (!virt::parseScenario(text.str(), scenario, error)) {
        std::fprintf(stderr, "%s: %s\n", path, virt::describe(error).c_str());
        std::fflush(stderr);
        return;
    }
    // A service that shares the scenario with the programs under test keeps a log of its own,
    // so that theirs shows only their own traffic.
    const char* ownLog = std::getenv("TAVRIK_VIRTUAL_LOG");
    if (ownLog != nullptr && *ownLog != '\0' && scenario.logPath) {
        scenario.logPath = ownLog;
    }
    if (scenario.logPath) {
        const std::string log = besideFile(path, *scenario.logPath);
        if (!bus.setLog(log)) {
            std::fprintf(stderr, "%s: cannot open the log %s\n", path, log.c_str());
            std::fflush(stderr);
        }
    }
    bus.setWireMs(scenario.wireMs);
    // The programs that share the scenario with a service that holds its modules.
    const char* holds = std::getenv("TAVRIK_VIRTUAL_HOLD_DIR");
    if (holds != nullptr && *holds != '\0') {
        bus.setHoldDirectory(holds);
    }
    for (virt::ModuleConfig& module : scenario.modules) {
        bus.add(std::move(module));
    }
}

}  // namespace

// A static object, so the bus writes its final log lines when the program exits.
HidBackend& defaultBackend() {
    static virt::VirtualBus bus;
    static const bool loaded = (load(bus), true);
    (void)loaded;
    return bus;
}

}  // namespace tavrik::hid
