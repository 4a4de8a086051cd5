#include <cstring>
#include <optional>
#include <string>

#include "hid_backend.h"
#include "tavrik_hid.h"

namespace tavrik::hid {

namespace {

HidBackend* installedBackend = nullptr;

char* copyString(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

char* copyString(const std::optional<std::string>& text) {
    return text ? copyString(*text) : nullptr;
}

wchar_t* copyString(const std::optional<std::wstring>& text) {
    if (!text) {
        return nullptr;
    }
    wchar_t* copy = new wchar_t[text->size() + 1];
    std::wmemcpy(copy, text->c_str(), text->size() + 1);
    return copy;
}

hid_device_info* makeRecord(const EnumeratedDevice& device) {
    hid_device_info* info = new hid_device_info{};
    info->path = copyString(device.path);
    info->location = copyString(device.location);
    info->vendor_id = device.vendorId;
    info->product_id = device.productId;
    info->serial_number = copyString(device.serialNumber);
    info->release_number = device.releaseNumber;
    info->manufacturer_string = copyString(device.manufacturer);
    info->product_string = copyString(device.product);
    info->usage_page = device.usagePage;
    info->usage = device.usage;
    info->interface_number = device.interfaceNumber;
    return info;
}

// A requested serial opens only the module that carries it: a record whose serial-number
// string could not be read counts as an empty one, never as a wildcard, or asking for one
// module could open (and switch the outputs of) another.
bool matches(const EnumeratedDevice& device, unsigned short vendorId, unsigned short productId,
             const wchar_t* serial) {
    if (device.vendorId != vendorId || device.productId != productId) {
        return false;
    }
    if (serial == nullptr) {
        return true;
    }
    return device.serialNumber.value_or(std::wstring()) == serial;
}

}  // namespace

void setBackend(HidBackend* backend) {
    installedBackend = backend;
}

HidBackend& backend() {
    return installedBackend != nullptr ? *installedBackend : defaultBackend();
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const EnumeratedDevice& device : backend().enumerate(vendor_id, product_id)) {
        *tail = makeRecord(device);
        tail = &(*tail)->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devs) {
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        delete[] devs->path;
        delete[] devs->location;
        delete[] devs->serial_number;
        delete[] devs->manufacturer_string;
        delete[] devs->product_string;
        delete devs;
        devs = next;
    }
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t* serial,
                     int* status) {
    if (status != nullptr) {
        *status = kOpenFailed;
    }
    for (const EnumeratedDevice& device : backend().enumerate(vendor_id, product_id)) {
        if (matches(device, vendor_id, product_id, serial)) {
            return hid_open_path(device.path.c_str(), status);
        }
    }
    return nullptr;
}

hid_device* hid_open_path(const char* path, int* status) {
    int outcome = kOpenFailed;
    hid_device* dev = path != nullptr ? backend().openPath(path, &outcome) : nullptr;
    if (status != nullptr) {
        *status = outcome;
    }
    return dev;
}

// The caller's data starts with the report ID, which must be 0: the modules have no numbered
// reports. Data beyond the 65-byte report is not written; the result then tells the caller how
// much was.
int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    if (dev == nullptr || data == nullptr || length == 0 || data[0] != 0) {
        return -1;
    }
    unsigned char report[kReportSize] = {};
    std::memcpy(report, data, length < kReportSize ? length : kReportSize);
    return backend().write(dev, report, kReportSize);
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (dev == nullptr || data == nullptr) {
        return -1;
    }
    return backend().readTimeout(dev, data, length, milliseconds);
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    if (dev == nullptr || string == nullptr || maxlen == 0) {
        return -1;
    }
    return backend().productString(dev, string, maxlen);
}

void hid_close(hid_device* dev) {
    if (dev != nullptr) {
        backend().close(dev);
    }
}

}  // namespace tavrik::hid
