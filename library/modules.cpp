// The attached modules and the firmware upgrade, over the same code the tools run.
#include <ostream>

#include "device_list.h"
#include "program_sequence.h"
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
    enumerateDevices(list);
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
    if (log != nullptr) {
        return programDevice(serial, hexFile, *log, progress);
    }
    NullBuffer discard;
    std::ostream nowhere(&discard);
    return programDevice(serial, hexFile, nowhere, progress);
}

}  // namespace tavrik
