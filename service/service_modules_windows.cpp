// Windows has no tavrikd: the monitor has the system's list alone.
#include "service_modules.h"

namespace tavrik {

struct ServiceModules::Impl {};

ServiceModules::ServiceModules() = default;
ServiceModules::~ServiceModules() = default;

std::optional<std::set<std::string>> ServiceModules::running() {
    return std::nullopt;
}

}  // namespace tavrik
