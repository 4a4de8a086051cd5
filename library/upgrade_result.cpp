// The messages of the upgrade's results, for the library's callers and bindings. Here, in the
// library's own sources, so that the shared library exports it although nothing in it calls it.
#include "tavrik/tavrik.h"

namespace tavrik {

std::string resultMessage(BootloaderResult code) {
    switch (code) {
        case BootOk:
            return "No Error";
        case BootDeviceNotFound:
            return "No device with that serial number in its bootloader";
        case BootDeviceNotOpen:
            return "The device went away during programming";
        case BootInvalidHexFile:
            return "Not a valid hex file";
        case BootVerifyFailed:
            return "Device verification failed after programming";
        case BootUnexpectedReply:
            return "Unexpected reply from the bootloader";
        case BootWriteFailed:
            return "Report write to the bootloader failed";
        case BootReadFailed:
            return "Report read from the bootloader failed or timed out";
    }
    return "Unknown Error";
}

}  // namespace tavrik
