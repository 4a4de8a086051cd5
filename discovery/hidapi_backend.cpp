// The production backend: hidapi, with the platform's location keys and exclusive open.
#include <hidapi/hidapi.h>

#include "hid_backend.h"
#include "hidapi_platform.h"

namespace tavrik::hid {

namespace {

struct HidapiDevice : hid_device {
    ::hid_device* handle = nullptr;
    ExclusiveClaim claim = 0;
};

std::optional<std::wstring> wideString(const wchar_t* text) {
    return text != nullptr ? std::optional<std::wstring>(text) : std::nullopt;
}

class HidapiBackend : public HidBackend {
  public:
    std::vector<EnumeratedDevice> enumerate(uint16_t vendorId, uint16_t productId) override {
        std::vector<EnumeratedDevice> devices;
        ::hid_device_info* list = ::hid_enumerate(vendorId, productId);
        for (::hid_device_info* info = list; info != nullptr; info = info->next) {
            if (info->path == nullptr) {
                continue;
            }
            EnumeratedDevice device;
            device.path = info->path;
            device.location = locationKeyOfPath(info->path);
            device.vendorId = info->vendor_id;
            device.productId = info->product_id;
            device.serialNumber = wideString(info->serial_number);
            device.releaseNumber = info->release_number;
            device.manufacturer = wideString(info->manufacturer_string);
            device.product = wideString(info->product_string);
            device.usagePage = info->usage_page;
            device.usage = info->usage;
            device.interfaceNumber = info->interface_number;
            devices.push_back(std::move(device));
        }
        ::hid_free_enumeration(list);
        return devices;
    }

    hid_device* openPath(const char* path, int* status) override {
        ExclusiveClaim claim = 0;
        ::hid_device* handle = openExclusive(path, status, &claim);
        if (handle == nullptr) {
            return nullptr;
        }
        HidapiDevice* dev = new HidapiDevice;
        dev->handle = handle;
        dev->claim = claim;
        return dev;
    }

    int write(hid_device* dev, const unsigned char* data, size_t length) override {
        return ::hid_write(handleOf(dev), data, length);
    }

    int readTimeout(hid_device* dev, unsigned char* data, size_t length,
                    int milliseconds) override {
        return ::hid_read_timeout(handleOf(dev), data, length, milliseconds);
    }

    int productString(hid_device* dev, wchar_t* string, size_t maxlen) override {
        return ::hid_get_product_string(handleOf(dev), string, maxlen);
    }

    void close(hid_device* dev) override {
        HidapiDevice* opened = static_cast<HidapiDevice*>(dev);
        closeExclusive(opened->handle, opened->claim);
        delete opened;
    }

  private:
    static ::hid_device* handleOf(hid_device* dev) {
        return static_cast<HidapiDevice*>(dev)->handle;
    }
};

}  // namespace

HidBackend& defaultBackend() {
    static HidapiBackend backend;
    return backend;
}

}  // namespace tavrik::hid
