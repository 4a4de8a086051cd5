// Readers of the service's replies and signals. Each takes a message that is already in memory
// and does no I/O, so that whatever the peer sent ends in a result, never a crash.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tavrik_device.h"

namespace tavrik::bus {

// io.tavrik1.Module's properties as the service shows them; those not sent stay empty.
struct ModuleProperties {
    std::string serial;
    std::string state;
    std::string infoSerial;
    std::string name;
    std::string productString;
    std::string typeText;
    std::string firmwareVersion;
    std::string hardwareVersion;
    int64_t watchdogTime = 0;
    std::vector<uint32_t> pointCounts;
    std::vector<uint32_t> relayOutputs;
    // IdentityBytes: the texts above by name, as the module gave them.
    std::vector<std::pair<std::string, std::string>> identityBytes;
};

// An a{sv} of the module's properties (GetAll, PropertiesChanged); properties of other names
// or types are skipped. 0, or a negative errno for a message of another shape.
int readModuleProperties(sd_bus_message* message, ModuleProperties& properties);

// GetManagedObjects' reply: the properties of every object that has the module interface.
int readManagedModules(sd_bus_message* message, std::vector<ModuleProperties>& modules);

// GetValues' aai: values[type][index]; types past the last IO type are an error.
int readPointValues(sd_bus_message* message, TavrikPointValues& values);

}  // namespace tavrik::bus
