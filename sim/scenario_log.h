// The lines of a scenario file's log (virtual_module/SCENARIO.md), written by tavrik_sim as
// the test variants' bus writes them.
#pragma once

#include <string>
#include <vector>

#include "virtual_module.h"

namespace tavrik::sim {

std::string appLogLine(const TavrikMessage& request);
std::string bootLogLine(const std::vector<uint8_t>& payload);
// The mode, state and flash lines of a module when the program ends.
std::vector<std::string> finalLogLines(const virt::VirtualModule& module);

}  // namespace tavrik::sim
