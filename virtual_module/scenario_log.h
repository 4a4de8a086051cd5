// The lines of a scenario file's log (SCENARIO.md): the same for the test variants' bus and
// for tavrik_sim.
#pragma once

#include <string>
#include <vector>

#include "virtual_module.h"

namespace tavrik::virt {

std::string appLogLine(const TavrikMessage& request);
std::string bootLogLine(const std::vector<uint8_t>& payload);
// The mode, state and flash lines of a module when the program ends.
std::vector<std::string> finalLogLines(const VirtualModule& module);

}  // namespace tavrik::virt
