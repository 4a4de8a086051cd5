// On Windows the HID class driver refuses a second open for writing with a sharing violation,
// since hidapi (as built here) opens with read-sharing only: that refusal is the busy status.
#include <windows.h>

#include "hidapi_platform.h"
#include "tavrik_hid.h"

namespace tavrik::hid {

::hid_device* openExclusive(const char* path, int* status, ExclusiveClaim* claim) {
    *claim = 0;
    ::hid_device* handle = ::hid_open_path(path);
    if (handle == nullptr) {
        // hidapi leaves the open's own error as the last one.
        *status = GetLastError() == ERROR_SHARING_VIOLATION ? kOpenBusy : kOpenFailed;
        return nullptr;
    }
    *status = kOpenOk;
    return handle;
}

void closeExclusive(::hid_device* handle, ExclusiveClaim) {
    ::hid_close(handle);
}

}  // namespace tavrik::hid
