// How the device layer's results are named on the bus.
#pragma once

#include <string>

namespace tavrik::daemon {

// "io.tavrik1.Error.<result>", e.g. "io.tavrik1.Error.DeviceBusy"; a code that is no result
// gives "io.tavrik1.Error.Unknown".
std::string errorName(int code);

}  // namespace tavrik::daemon
