// The client's connection to tavrikd's bus.
#pragma once

#include <systemd/sd-bus.h>

#include <vector>

#include "bus_replies.h"

namespace tavrik::bus {

// Matches the service's start and end on the bus.
constexpr char kOwnerRule[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='io.tavrik1'";

// Connects to the system bus, with every method call bounded; the test variant of the library
// reaches only the bus its test names (TAVRIK_TEST_BUS_ADDRESS), never the system's. Negative
// errno when there is none.
int openServiceBus(sd_bus** bus);

// The modules that the service has open and serves (State running), from its
// GetManagedObjects; negative errno when no service answers or it refuses the caller.
int readRunningModules(sd_bus* bus, std::vector<ModuleProperties>& modules);

}  // namespace tavrik::bus
