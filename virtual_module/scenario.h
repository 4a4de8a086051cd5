// Scenario files: a small text format that describes a bus of virtual modules (SCENARIO.md).
// The parser is a pure function from text to configurations.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "virtual_module.h"

namespace tavrik::virt {

struct Scenario {
    std::optional<std::string> logPath;  // as written; relative to the file's directory
    int wireMs = 0;                      // wire-time model; 0: off
    std::vector<ModuleConfig> modules;
};

struct ScenarioError {
    int line = 0;
    std::string message;
};

// False with the first error (and its 1-based line) when the text is not a valid scenario.
bool parseScenario(const std::string& text, Scenario& scenario, ScenarioError& error);

// "line N: message"
std::string describe(const ScenarioError& error);

}  // namespace tavrik::virt
