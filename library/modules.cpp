// The attached modules and the firmware upgrade, over the same code the tools run.
#include <ostream>

#include "device_list.h"
#include "program_sequence.h"
#include "served_module.h"
#include "tavrik/tavrik.h"
#include "tavrik_connection.h"

namespace tavrik {

namespace {

// Discards what it is given: the upgrade's step lines when nobody wants them.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

}  // namespace

std::vector<std::string> devices() {
    std::vector<std::string> list;
    enumerateDevices(list, servedTypeTexts());
    return list;
}

std::vector<std::string> serials(Mode mode) {
    std::vector<DeviceId> ids;
    if (mode != Mode::Bootloader) {
        ids = applicationDeviceIds;
    }
    if (mode != Mode::Application) {
        ids.insert(ids.end(), bootloaderDeviceIds.begin(), bootloaderDeviceIds.end());
    }
    std::vector<std::string> list;
    enumerateSerials(ids, list);
    return list;
}

int programFirmware(const std::string& hexFile, const std::string& serial,
                    const std::function<void(int percent)>& progress, std::ostream* log) {
    // A module that tavrikd holds is taken from it for the upgrade, and given back when this
    // returns (the process's end gives it back too); not for a file that will be refused,
    // which leaves the module alone. Without the service, or for a module it does not hold,
    // the upgrade goes on as ever.
    ServiceInhibit inhibit;
    if (isProgrammableFile(hexFile)) {
        inhibit.take(serial, "firmware upgrade");
    }
    if (log != nullptr) {
        return programDevice(serial, hexFile, *log, progress);
    }
    NullBuffer discard;
    std::ostream nowhere(&discard);
    return programDevice(serial, hexFile, nowhere, progress);
}

}  // namespace tavrik
