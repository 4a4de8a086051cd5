#include "hidraw_node.h"

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace tavrik::sim {

std::optional<std::string> ueventValue(const std::string& uevent, const std::string& key) {
    std::istringstream lines(uevent);
    const std::string prefix = key + "=";
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return line.substr(prefix.size());
        }
    }
    return std::nullopt;
}

std::optional<std::string> hidrawNodeByPhys(const std::string& sysfsRoot, const std::string& phys) {
    const std::string classDir = sysfsRoot + "/class/hidraw";
    DIR* dir = ::opendir(classDir.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> node;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, 6, "hidraw") != 0) {
            continue;
        }
        std::ifstream in(classDir + "/" + name + "/device/uevent");
        const std::string uevent((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
        if (ueventValue(uevent, "HID_PHYS") == phys) {
            node = "/dev/" + name;
            break;
        }
    }
    ::closedir(dir);
    return node;
}

}  // namespace tavrik::sim
