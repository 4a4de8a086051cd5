// What tavrik.ini means, over the platform's reader and writer of the file.
#include "config_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tavrik {

namespace {

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// The leading decimal number of the value, when it is one within 32 bits.
int32_t intIn(const ConfigFile::Lookup& lookup, const std::string& section, const std::string& key,
              int32_t defaultValue) {
    const std::string value = lookup(section, key, std::to_string(defaultValue));
    const char* begin = value.c_str();
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) {
        return defaultValue;
    }
    return static_cast<int32_t>(number);
}

}  // namespace

std::string sectionName(int index) {
    return "device" + std::to_string(index);
}

std::string configDirectory() {
    return TAVRIK_CONFIG_DIR;
}

std::string ConfigFile::readString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) const {
    return lookup()(section, key, defaultValue);
}

bool ConfigFile::writeString(const std::string& section, const std::string& key,
                             const std::string& value) {
    // A line break would split the entry and could forge other keys or sections.
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value)) {
        return false;
    }
    return writeValue(section, key, value);
}

int32_t ConfigFile::readInt(const std::string& section, const std::string& key,
                            int32_t defaultValue) const {
    return intIn(lookup(), section, key, defaultValue);
}

int ConfigFile::findIndex(const std::string& serial) const {
    const Lookup values = lookup();
    for (int i = 0; i < kConfigSections; ++i) {
        if (values(sectionName(i), "serial", "-1") == serial) {
            return i;
        }
    }
    return -1;
}

ModuleSettings ConfigFile::readModuleSettings(int index) const {
    const Lookup values = lookup();
    ModuleSettings settings;
    const std::string section = sectionName(index);
    settings.name = values(section, "name", "");
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        settings.limits[type] = intIn(values, section, ioTypeName(type), -1);
    }
    return settings;
}

}  // namespace tavrik
