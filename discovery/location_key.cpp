#include "location_key.h"

#include <cstdio>
#include <cstring>

namespace tavrik::hid {

bool countsInLocationKey(const char* nodeId) {
    return (std::strncmp(nodeId, "USB", 3) == 0 && std::strstr(nodeId, "MI_") == nullptr) ||
           std::strncmp(nodeId, "PCI", 3) == 0;
}

std::string formatLocationKey(const std::vector<uint32_t>& nearestFirst) {
    std::string key;
    for (auto it = nearestFirst.rbegin(); it != nearestFirst.rend(); ++it) {
        char component[10];
        std::snprintf(component, sizeof component, "%08x.", static_cast<unsigned>(*it));
        key += component;
    }
    return key;
}

}  // namespace tavrik::hid
