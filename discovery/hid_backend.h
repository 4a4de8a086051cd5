// The seam between the HID layer and the hardware. The product links the hidraw backend; the
// tests and the test variants of the programs link the virtual module bus instead. Nothing
// above the HID layer knows which one it talks to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tavrik_hid.h"

namespace tavrik::hid {

// One enumerated interface as a backend reports it; the layer turns these into records.
struct EnumeratedDevice {
    std::string path;
    std::optional<std::string> location;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::optional<std::wstring> serialNumber;
    uint16_t releaseNumber = 0;
    std::optional<std::wstring> manufacturer;
    std::optional<std::wstring> product;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    int interfaceNumber = -1;
};

// An open device of some backend.
struct hid_device {
    virtual ~hid_device() = default;
};

class HidBackend {
  public:
    virtual ~HidBackend() = default;
    virtual std::vector<EnumeratedDevice> enumerate(uint16_t vendorId, uint16_t productId) = 0;
    // Sets *status as hid_open_path documents; returns null on failure.
    virtual hid_device* openPath(const char* path, int* status) = 0;
    // data is always a full 65-byte report: report ID 0, then 64 bytes.
    virtual int write(hid_device* dev, const unsigned char* data, size_t length) = 0;
    virtual int readTimeout(hid_device* dev, unsigned char* data, size_t length,
                            int milliseconds) = 0;
    virtual int productString(hid_device* dev, wchar_t* string, size_t maxlen) = 0;
    virtual void close(hid_device* dev) = 0;
};

// The backend linked into the program: defined once, by the hidraw backend or by the virtual
// bus library.
HidBackend& defaultBackend();

// Replaces the backend for the whole process (tests); null goes back to defaultBackend().
void setBackend(HidBackend* backend);
HidBackend& backend();

}  // namespace tavrik::hid
