// The ordered list of attached modules with persistent configuration indexes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrik {

struct DeviceEntry {
    std::string serial;
    std::string type;  // type text after a successful open; empty when the module was busy
    int32_t index = -1;
};

// Clears serials and fills it with the serial numbers of the modules that open or are busy,
// ordered by configuration index.
void enumerateDevices(std::vector<std::string>& serials);

// Whether this process keeps the system-wide tavrik.ini: on Windows a member of the
// Administrators group; elsewhere a process that may write the file (or its directory when the
// file does not exist yet).
bool isAdministrator();

}  // namespace tavrik
