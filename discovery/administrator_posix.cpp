#include "config_file.h"
#include "device_list.h"

namespace tavrik {

// Linux has no administrators group of the modules' own: whoever may write the system-wide
// file keeps it.
bool isAdministrator() {
    return mayWriteConfig(ConfigFile(kConfigFileName).path());
}

}  // namespace tavrik
