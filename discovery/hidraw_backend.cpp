// The production backend: Debian's hidapi over hidraw, location keys from sysfs, and an
// advisory lock per device node so that one module serves one program at a time.
#include <hidapi/hidapi.h>

#include <cstring>

#include "hid_backend.h"
#include "location_key.h"
#include "node_lock.h"

namespace tavrik::hid {

namespace {

constexpr char kDevicePrefix[] = "/dev/";

struct HidrawDevice : hid_device {
    ::hid_device* handle = nullptr;
    int lockFd = -1;
};

std::optional<std::wstring> wideString(const wchar_t* text) {
    return text != nullptr ? std::optional<std::wstring>(text) : std::nullopt;
}

// hidapi names hidraw interfaces /dev/hidrawN; sysfs knows them as hidrawN.
std::optional<std::string> locationOf(const char* path) {
    const size_t prefixLength = sizeof kDevicePrefix - 1;
    if (std::strncmp(path, kDevicePrefix, prefixLength) != 0 ||
        std::strncmp(path + prefixLength, "hidraw", 6) != 0) {
        return std::nullopt;
    }
    return buildLocationKey("/sys", path + prefixLength);
}

class HidrawBackend : public HidBackend {
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
            device.location = locationOf(info->path);
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
        *status = kOpenFailed;
        // The lock comes first so that a module held elsewhere is never opened beside it.
        int lockFd = -1;
        switch (lockNode(path, &lockFd)) {
            case NodeLockResult::Locked:
                break;
            case NodeLockResult::Busy:
                *status = kOpenBusy;
                return nullptr;
            case NodeLockResult::Failed:
                return nullptr;
        }
        ::hid_device* handle = ::hid_open_path(path);
        if (handle == nullptr) {
            unlockNode(lockFd);
            return nullptr;
        }
        HidrawDevice* dev = new HidrawDevice;
        dev->handle = handle;
        dev->lockFd = lockFd;
        *status = kOpenOk;
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
        HidrawDevice* hidraw = static_cast<HidrawDevice*>(dev);
        ::hid_close(hidraw->handle);
        unlockNode(hidraw->lockFd);
        delete hidraw;
    }

  private:
    static ::hid_device* handleOf(hid_device* dev) {
        return static_cast<HidrawDevice*>(dev)->handle;
    }
};

}  // namespace

HidBackend& defaultBackend() {
    static HidrawBackend backend;
    return backend;
}

}  // namespace tavrik::hid
