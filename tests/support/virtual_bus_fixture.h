// Installs a fresh virtual bus as the HID backend for the duration of a test.
#pragma once

#include <gtest/gtest.h>

#include "hid_backend.h"
#include "virtual_module.h"

namespace tavrik::test {

// A basic-layout module with the given serial and IO configuration.
inline virt::ModuleConfig basicModule(const std::string& serial,
                                      std::vector<uint8_t> config = {0, 0, 0, 0, 1, 1}) {
    virt::ModuleConfig module;
    module.usbSerial = serial;
    module.infoSerial = serial;
    module.infoName = "Module " + serial;
    module.ioConfig = std::move(config);
    return module;
}

class VirtualBusTest : public ::testing::Test {
  protected:
    void SetUp() override { hid::setBackend(&bus); }
    void TearDown() override { hid::setBackend(nullptr); }

    size_t requestCount(size_t module, uint8_t command) {
        return bus.withModule(
            module, [command](virt::VirtualModule& m) { return m.requestCount(command); });
    }

    virt::VirtualBus bus;
};

}  // namespace tavrik::test
