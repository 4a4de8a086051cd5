#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "bus_names.h"
#include "service_bus.h"

namespace tavrik::bus {

namespace {

// Every call is bounded, so that a service that stopped answering cannot hang a program: long
// enough for an exchange, which the service itself bounds at 2 s.
constexpr uint64_t kCallTimeoutUs = 3000000;

}  // namespace

int openServiceBus(sd_bus** bus) {
#ifdef TAVRIK_SERVICE_TEST_BUS
    const char* address = std::getenv("TAVRIK_TEST_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        return -ENOENT;
    }
    int r = sd_bus_new(bus);
    if (r >= 0) {
        r = sd_bus_set_address(*bus, address);
    }
    if (r >= 0) {
        r = sd_bus_set_bus_client(*bus, 1);
    }
    if (r >= 0) {
        r = sd_bus_start(*bus);
    }
#else
    int r = sd_bus_open_system(bus);
#endif
    if (r >= 0) {
        r = sd_bus_set_method_call_timeout(*bus, kCallTimeoutUs);
    }
    if (r < 0) {
        *bus = sd_bus_flush_close_unref(*bus);
    }
    return r;
}

int readRunningModules(sd_bus* bus, std::vector<ModuleProperties>& modules) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kBusName, kRootPath, "org.freedesktop.DBus.ObjectManager",
                               "GetManagedObjects", &error, &reply, "");
    if (r >= 0) {
        r = readManagedModules(reply, modules);
    }
    modules.erase(
        std::remove_if(modules.begin(), modules.end(),
                       [](const ModuleProperties& m) { return m.state != kStateRunning; }),
        modules.end());
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r;
}

}  // namespace tavrik::bus
