// The names by which tavrikd and its clients meet on the bus, and how results travel as
// D-Bus errors.
#pragma once

#include <string>

namespace tavrik::bus {

constexpr char kBusName[] = "io.tavrik1";
constexpr char kRootPath[] = "/io/tavrik1";
constexpr char kModulePathPrefix[] = "/io/tavrik1/module";
constexpr char kManagerInterface[] = "io.tavrik1.Manager";
constexpr char kModuleInterface[] = "io.tavrik1.Module";
// The State of a module that the service has open and serves.
constexpr char kStateRunning[] = "running";

// "io.tavrik1.Error.<result>", e.g. "io.tavrik1.Error.DeviceBusy"; a code that is no result
// gives "io.tavrik1.Error.Unknown".
std::string errorName(int code);

// The result a D-Bus error name stands for: the result of an "io.tavrik1.Error." name, or
// CommunicationTimeout for every other error (the service gone, not answering, or refusing a
// malformed call), since the caller then has no answer from the module.
int resultOfErrorName(const std::string& name);

}  // namespace tavrik::bus
