// The HID layer: hidapi's interface with the system's two additions, the location key of
// every enumerated record and the status out-parameter of the open calls. Kept in a namespace
// of the project so it never collides with hidapi's own declarations.
#pragma once

#include <cstddef>
#include <cwchar>

namespace tavrik::hid {

struct hid_device_info {
    char* path;
    char* location;  // "%08x." per counting ancestor, root first; null when none
    unsigned short vendor_id;
    unsigned short product_id;
    wchar_t* serial_number;
    unsigned short release_number;
    wchar_t* manufacturer_string;
    wchar_t* product_string;
    unsigned short usage_page;
    unsigned short usage;
    int interface_number;
    hid_device_info* next;
};

struct hid_device;

// Open status values.
// Every output report: report ID 0, then the 64 bytes of a message or bootloader report.
constexpr size_t kReportSize = 65;

constexpr int kOpenFailed = -1;
constexpr int kOpenBusy = -2;  // another process holds the module
constexpr int kOpenOk = 0;

// Present interfaces whose IDs match (0 matches any), in enumeration order; null when none.
hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id);
void hid_free_enumeration(hid_device_info* devs);

// Opens the first enumerated record with equal IDs whose serial is equal, an absent one counting
// as empty (any record when serial is null). status: -1 when nothing matched, else what
// hid_open_path reports.
hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t* serial,
                     int* status = nullptr);
// status: -1 on entry, -2 when another process holds the device, 0 when open.
hid_device* hid_open_path(const char* path, int* status = nullptr);

// Writes one output report; shorter data is zero-padded to the 65-byte report. Returns the
// number of bytes written or -1.
int hid_write(hid_device* dev, const unsigned char* data, size_t length);
// Waits up to milliseconds (negative: no limit) for one input report; returns its length
// without the report ID, 0 on time-out, -1 on failure. A timed-out read leaves the report to
// the next read.
int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds);
int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen);
void hid_close(hid_device* dev);

}  // namespace tavrik::hid
