// What tavrik.ini means, over the platform's reader and writer of the file.
#include "config_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "ini_text.h"

namespace tavrik {

namespace {

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

// The value as it stands in the file, when that reads back as the value itself; the limit is
// on what stands in the file, which is what the profile functions read through their buffer.
std::optional<std::string> valueText(const std::string& value) {
    std::optional<std::string> text = iniValueText(value);
    if (text && text->size() > kConfigValueLimit) {
        text.reset();
    }
    return text;
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
    // An entry that would read back as something else is worse than none: a serial recorded
    // that way is never found again, and its module would take a new section on every run.
    // A line break could also forge other keys or sections.
    const std::optional<std::string> text = valueText(value);
    if (!isIniSectionName(section) || !isIniKeyName(key) || !text) {
        return false;
    }
    return writeValue(section, key, *text);
}

bool ConfigFile::isRecordable(const std::string& value) {
    return valueText(value).has_value();
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
