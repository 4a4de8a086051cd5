#include "bus_names.h"

#include "tavrik/tavrik.h"

namespace tavrik::bus {

namespace {

constexpr char kErrorPrefix[] = "io.tavrik1.Error.";

// Every result, for the way back from a name.
constexpr int kResults[] = {
    Ok,
    DeviceBusy,
    MessageSizeInvalid,
    MessageMissingPreamble,
    ParameterCountMismatch,
    ParameterTypeMismatch,
    MessageCrcInvalid,
    IoPointOutOfRange,
    CommandInvalid,
    I2cTimeout,
    IoExpanderMismatch,
    InvalidParameterValue,
    UsbProtocolError,
    FlashError,
    WatchdogReset,
    ApiThreadStopped,
    UnableToOpenDevice,
    DeviceNotOpen,
    CommunicationTimeout,
    ConfigFileFailed,
};

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
    return std::string(kErrorPrefix) + resultName(code);
}

int resultOfErrorName(const std::string& name) {
    for (const int code : kResults) {
        if (code != Ok && name == errorName(code)) {
            return code;
        }
    }
    return CommunicationTimeout;
}

}  // namespace tavrik::bus
