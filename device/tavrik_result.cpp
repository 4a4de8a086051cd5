#include "tavrik_result.h"

namespace tavrik {

std::string resultMessage(int code) {
    switch (code) {
        case Ok:
            return "No Error";
        case DeviceBusy:
            return "Device is busy";
        case MessageSizeInvalid:
            return "Message size invalid";
        case MessageMissingPreamble:
            return "Message missing preamble";
        case ParameterCountMismatch:
            return "Message parameter count not as expected";
        case ParameterTypeMismatch:
            return "Message parameter type not as expected";
        case MessageCrcInvalid:
            return "Message CRC invalid";
        case IoPointOutOfRange:
            return "IO point number outside range";
        case CommandInvalid:
            return "Specified command invalid";
        case I2cTimeout:
            return "Timeout on i2c bus";
        case IoExpanderMismatch:
            return "Detected IO expanders does not match expected";
        case InvalidParameterValue:
            return "invalid parameter value";
        case UsbProtocolError:
            return "USB protocol error";
        case FlashError:
            return "Flash memory read/write error";
        case WatchdogReset:
            return "Watchdog reset occured";
        case ApiThreadStopped:
            return "API thread has stopped running";
        case UnableToOpenDevice:
            return "Unable to open device";
        case DeviceNotOpen:
            return "The device is not open for communication";
        case CommunicationTimeout:
            return "Communication timeout";
        case ConfigFileFailed:
            return "Read/Write config file failed";
        default:
            return "Unknown Error";
    }
}

std::string pointResultMessage(int code, uint32_t type, int32_t index) {
    return resultMessage(code) + ": " + ioTypeName(type) + " " + std::to_string(index);
}

std::string ioTypeName(uint32_t type) {
    switch (type) {
        case Inputs:
            return "inputs";
        case Outputs:
            return "outputs";
        case Buttons:
            return "buttons";
        case PsAlarms:
            return "psalarms";
        case RaidLeds:
            return "raidleds";
        case Watchdog:
            return "watchdog";
        case PoeEnable:
            return "poe_enable";
        case PoeReset:
            return "poe_reset";
        case PoeStatus:
            return "poe_status";
        case PoeVoltage:
            return "poe_voltage";
        case PoeCurrent:
            return "poe_current";
        case PoeTemperature:
            return "poe_temperature";
        case PoeMaxPower:
            return "poe_maxpower";
        default:
            return "Unknown IO Type";
    }
}

uint32_t pointDescriptor(uint32_t code) {
    switch (code) {
        case Outputs:
            return 0x401;
        case Buttons:
            return 0x002;
        case PsAlarms:
            return 0x003;
        case RaidLeds:
            return 0x404;
        case Watchdog:
            return 0x605;
        case PoeEnable:
            return 0x406;
        case PoeReset:
            return 0x1407;
        case PoeStatus:
            return 0x208;
        case PoeVoltage:
            return 0xA09;
        case PoeCurrent:
            return 0xA0A;
        case PoeTemperature:
            return 0xA0B;
        case PoeMaxPower:
            return 0x60C;
        case kRelayCode:
            return 0x441;
        default:
            // Inputs and codes outside the table share 0; the point table tells them apart.
            return 0;
    }
}

bool isWritableType(uint32_t type) {
    return (pointDescriptor(type) & kDescriptorWritable) != 0;
}

}  // namespace tavrik
