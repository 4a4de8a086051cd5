#include "bus_replies.h"

#include <cerrno>
#include <cstring>

#include "bus_names.h"

namespace tavrik::bus {

namespace {

// Reads the variant that follows when it holds `contents`; skips it otherwise.
int readString(sd_bus_message* message, std::string& to) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message, nullptr, &contents);
    if (r < 0) {
        return r;
    }
    if (contents == nullptr || std::strcmp(contents, "s") != 0) {
        return sd_bus_message_skip(message, "v");
    }
    const char* text = nullptr;
    r = sd_bus_message_read(message, "v", "s", &text);
    if (r >= 0) {
        to = text;
    }
    return r;
}

int readInt64(sd_bus_message* message, int64_t& to) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message, nullptr, &contents);
    if (r < 0) {
        return r;
    }
    if (contents == nullptr || std::strcmp(contents, "x") != 0) {
        return sd_bus_message_skip(message, "v");
    }
    return sd_bus_message_read(message, "v", "x", &to);
}

int readNumbers(sd_bus_message* message, std::vector<uint32_t>& to) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message, nullptr, &contents);
    if (r < 0) {
        return r;
    }
    if (contents == nullptr || std::strcmp(contents, "au") != 0) {
        return sd_bus_message_skip(message, "v");
    }
    r = sd_bus_message_enter_container(message, 'v', "au");
    if (r < 0) {
        return r;
    }
    const void* data = nullptr;
    size_t size = 0;
    r = sd_bus_message_read_array(message, 'u', &data, &size);
    if (r < 0) {
        return r;
    }
    const auto* numbers = static_cast<const uint32_t*>(data);
    to.assign(numbers, numbers + size / sizeof(uint32_t));
    return sd_bus_message_exit_container(message);
}

std::string* textOf(const std::string& key, ModuleProperties& p) {
    return key == "Serial"            ? &p.serial
           : key == "State"           ? &p.state
           : key == "InfoSerial"      ? &p.infoSerial
           : key == "Name"            ? &p.name
           : key == "ProductString"   ? &p.productString
           : key == "TypeText"        ? &p.typeText
           : key == "FirmwareVersion" ? &p.firmwareVersion
           : key == "HardwareVersion" ? &p.hardwareVersion
                                      : nullptr;
}

// The module's own bytes of the texts, by property name; they replace the strings' UTF-8.
int readIdentityBytes(sd_bus_message* message, ModuleProperties& p) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message, nullptr, &contents);
    if (r < 0) {
        return r;
    }
    if (contents == nullptr || std::strcmp(contents, "a{say}") != 0) {
        return sd_bus_message_skip(message, "v");
    }
    r = sd_bus_message_enter_container(message, 'v', "a{say}");
    if (r >= 0) {
        r = sd_bus_message_enter_container(message, 'a', "{say}");
    }
    while (r >= 0 && (r = sd_bus_message_enter_container(message, 'e', "say")) > 0) {
        const char* key = nullptr;
        const void* data = nullptr;
        size_t size = 0;
        r = sd_bus_message_read(message, "s", &key);
        if (r >= 0) {
            r = sd_bus_message_read_array(message, 'y', &data, &size);
        }
        if (r >= 0) {
            p.identityBytes.emplace_back(key, std::string(static_cast<const char*>(data), size));
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(message);
        }
    }
    if (r >= 0) {
        r = sd_bus_message_exit_container(message);
    }
    return r < 0 ? r : sd_bus_message_exit_container(message);
}

int readProperty(sd_bus_message* message, const std::string& key, ModuleProperties& p) {
    if (key == "IdentityBytes") {
        return readIdentityBytes(message, p);
    }
    if (std::string* text = textOf(key, p)) {
        return readString(message, *text);
    }
    if (key == "WatchdogTime") {
        return readInt64(message, p.watchdogTime);
    }
    if (key == "PointCounts") {
        return readNumbers(message, p.pointCounts);
    }
    if (key == "RelayOutputs") {
        return readNumbers(message, p.relayOutputs);
    }
    return sd_bus_message_skip(message, "v");
}

}  // namespace

int readModuleProperties(sd_bus_message* message, ModuleProperties& properties) {
    int r = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (r < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        r = sd_bus_message_read(message, "s", &key);
        if (r >= 0) {
            r = readProperty(message, key, properties);
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(message);
        }
        if (r < 0) {
            return r;
        }
    }
    if (r < 0) {
        return r;
    }
    // Whatever order they came in, the module's bytes stand for its texts.
    for (const auto& [key, bytes] : properties.identityBytes) {
        std::string* text = key != "State" ? textOf(key, properties) : nullptr;
        if (text != nullptr) {
            *text = bytes;
        }
    }
    return sd_bus_message_exit_container(message);
}

int readManagedModules(sd_bus_message* message, std::vector<ModuleProperties>& modules) {
    int r = sd_bus_message_enter_container(message, 'a', "{oa{sa{sv}}}");
    if (r < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(message, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        r = sd_bus_message_read(message, "o", &path);
        if (r >= 0) {
            r = sd_bus_message_enter_container(message, 'a', "{sa{sv}}");
        }
        while (r >= 0 && (r = sd_bus_message_enter_container(message, 'e', "sa{sv}")) > 0) {
            const char* interface = nullptr;
            r = sd_bus_message_read(message, "s", &interface);
            if (r >= 0 && std::strcmp(interface, kModuleInterface) == 0) {
                ModuleProperties properties;
                r = readModuleProperties(message, properties);
                modules.push_back(std::move(properties));
            } else if (r >= 0) {
                r = sd_bus_message_skip(message, "a{sv}");
            }
            if (r >= 0) {
                r = sd_bus_message_exit_container(message);
            }
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(message);  // the interfaces
        }
        if (r >= 0) {
            r = sd_bus_message_exit_container(message);  // the object
        }
        if (r < 0) {
            return r;
        }
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(message);
}

int readPointValues(sd_bus_message* message, TavrikPointValues& values) {
    for (auto& row : values) {
        row.clear();
    }
    int r = sd_bus_message_enter_container(message, 'a', "ai");
    if (r < 0) {
        return r;
    }
    for (size_t type = 0;; ++type) {
        const void* data = nullptr;
        size_t size = 0;
        r = sd_bus_message_read_array(message, 'i', &data, &size);
        if (r <= 0) {
            break;
        }
        if (type >= values.size()) {
            return -EBADMSG;
        }
        const auto* numbers = static_cast<const int32_t*>(data);
        values[type].assign(numbers, numbers + size / sizeof(int32_t));
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(message);
}

}  // namespace tavrik::bus
