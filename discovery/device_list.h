// The ordered list of attached modules with persistent configuration indexes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavrik {

struct DeviceEntry {
    std::string serial;
    std::string type;  // type text after a successful open; empty when the module was busy
    int32_t index = -1;
};

// Clears serials and fills it with the serial numbers of the modules that open or are busy,
// ordered by configuration index. servedTypes holds the type texts of the modules that the
// service holds, by serial: those are not opened, and their type is the service's.
void enumerateDevices(std::vector<std::string>& serials,
                      const std::map<std::string, std::string>& servedTypes = {});

// Whether this process keeps the system-wide tavrik.ini: on Windows a member of the
// Administrators group; elsewhere a process that may write the file (or its directory when the
// file does not exist yet).
bool isAdministrator();

}  // namespace tavrik
