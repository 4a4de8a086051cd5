// What each platform adds to hidapi for the HID layer: the location key of an enumerated
// interface, and an open that no other program can share.
#pragma once

#include <hidapi/hidapi.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tavrik::hid {

// The location key of the interface hidapi enumerated at path; nothing when it has none.
std::optional<std::string> locationKeyOfPath(const char* path);

// What an exclusive open holds besides hidapi's handle until it is closed.
using ExclusiveClaim = intptr_t;

// Opens path through hidapi for this program alone. *status as hid_open_path documents:
// kOpenBusy when another program holds the module.
::hid_device* openExclusive(const char* path, int* status, ExclusiveClaim* claim);
void closeExclusive(::hid_device* handle, ExclusiveClaim claim);

}  // namespace tavrik::hid
