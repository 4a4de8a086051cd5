// One HID device presented through /dev/uhid: it exists while this object holds it.
#pragma once

#include <optional>

#include "uhid_codec.h"

namespace tavrik::sim {

class UhidDevice {
  public:
    UhidDevice() = default;
    ~UhidDevice();
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    // Opens /dev/uhid and creates the device. 0, or the errno of the failure.
    int create(const UhidIdentity& identity);
    // Removes the device; safe when there is none.
    void destroy();
    bool exists() const { return fd_ >= 0; }
    // The descriptor to wait on for events; -1 when there is no device.
    int fd() const { return fd_; }

    // 0, or the errno of the failure.
    int send(const uhid_event& event);
    // The next pending event; nothing when none is waiting or the read failed.
    std::optional<UhidMessage> receive();

  private:
    int fd_ = -1;
};

}  // namespace tavrik::sim
