#include "bus_errors.h"

#include "tavrik/tavrik.h"

namespace tavrik::daemon {

namespace {

const char* resultName(int code) {
    switch (code) {
        case Ok:
            return "Ok";
        case DeviceBusy:
            return "DeviceBusy";
        case MessageSizeInvalid:
            return "MessageSizeInvalid";
        case MessageMissingPreamble:
            return "MessageMissingPreamble";
        case ParameterCountMismatch:
            return "ParameterCountMismatch";
        case ParameterTypeMismatch:
            return "ParameterTypeMismatch";
        case MessageCrcInvalid:
            return "MessageCrcInvalid";
        case IoPointOutOfRange:
            return "IoPointOutOfRange";
        case CommandInvalid:
            return "CommandInvalid";
        case I2cTimeout:
            return "I2cTimeout";
        case IoExpanderMismatch:
            return "IoExpanderMismatch";
        case InvalidParameterValue:
            return "InvalidParameterValue";
        case UsbProtocolError:
            return "UsbProtocolError";
        case FlashError:
            return "FlashError";
        case WatchdogReset:
            return "WatchdogReset";
        case ApiThreadStopped:
            return "ApiThreadStopped";
        case UnableToOpenDevice:
            return "UnableToOpenDevice";
        case DeviceNotOpen:
            return "DeviceNotOpen";
        case CommunicationTimeout:
            return "CommunicationTimeout";
        case ConfigFileFailed:
            return "ConfigFileFailed";
        default:
            return "Unknown";
    }
}

}  // namespace

std::string errorName(int code) {
    return std::string("io.tavrik1.Error.") + resultName(code);
}

}  // namespace tavrik::daemon
