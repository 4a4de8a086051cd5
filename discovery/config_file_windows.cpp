// tavrik.ini through the Windows profile functions. A bare file name is theirs to resolve: it
// lands in the Windows directory, so one file serves every user.
#include <windows.h>

#include "config_file.h"

namespace tavrik {

// The installed programs have no directory: the name goes to the profile functions as it is.
// A build for tests names a scratch directory instead.
ConfigFile::ConfigFile(const std::string& fileName)
    : path_(fileName.find_first_of("/\\") == std::string::npos && !configDirectory().empty()
                ? configDirectory() + "\\" + fileName
                : fileName) {}

ConfigFile::Lookup ConfigFile::lookup() const {
    return [path = path_](const std::string& section, const std::string& key,
                          const std::string& defaultValue) {
        char value[kConfigValueLimit + 1];
        GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), value,
                                 sizeof value, path.c_str());
        return std::string(value);
    };
}

// Each profile write is the system's own step; there is no lock file to take.
ConfigFile::Update::Update(ConfigFile& file) : file_(file), held_(true) {}

ConfigFile::Update::~Update() = default;

bool ConfigFile::writeValue(const std::string& section, const std::string& key,
                            const std::string& value) {
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str()) !=
           0;
}

}  // namespace tavrik
