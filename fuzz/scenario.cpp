// Scenario files of the virtual module bus: any text parses, or gives an error that names one
// of its lines.
#include <algorithm>
#include <string>

#include "fuzz_check.h"
#include "scenario.h"

using namespace tavrik;
using tavrik::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    virt::Scenario scenario;
    virt::ScenarioError error;
    if (!virt::parseScenario(text, scenario, error)) {
        const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
        require(error.line >= 1 && error.line <= lines, "an error names a line of the text");
        require(!error.message.empty(), "an error says what is wrong");
        virt::describe(error);
    }
    return 0;
}
