// Result codes and IO point types shared by the host and the module firmware.
#pragma once

#include <cstdint>
#include <string>

namespace tavrik {

// Signed 32-bit result of every device-layer operation. -1 to -14 also travel in the
// status byte of module replies and in error events, so the numbering is a wire contract.
enum TavrikResult : int32_t {
    Ok = 0,
    DeviceBusy = -1,
    MessageSizeInvalid = -2,
    MessageMissingPreamble = -3,
    ParameterCountMismatch = -4,
    ParameterTypeMismatch = -5,
    MessageCrcInvalid = -6,
    IoPointOutOfRange = -7,
    CommandInvalid = -8,
    I2cTimeout = -9,
    IoExpanderMismatch = -10,
    InvalidParameterValue = -11,
    UsbProtocolError = -12,
    FlashError = -13,
    WatchdogReset = -14,
    ApiThreadStopped = -100,
    UnableToOpenDevice = -101,
    DeviceNotOpen = -102,
    CommunicationTimeout = -103,
    ConfigFileFailed = -104,
};

enum TavrikIoType : uint32_t {
    Inputs = 0,
    Outputs = 1,
    Buttons = 2,
    PsAlarms = 3,
    RaidLeds = 4,
    Watchdog = 5,
    PoeEnable = 6,
    PoeReset = 7,
    PoeStatus = 8,
    PoeVoltage = 9,
    PoeCurrent = 10,
    PoeTemperature = 11,
    PoeMaxPower = 12,
};

// Number of IO types; also the type field of error events.
constexpr uint32_t kIoTypeCount = 13;

// Configuration code of a relay output (filed under Outputs).
constexpr uint32_t kRelayCode = 65;

// Point descriptor bits.
constexpr uint32_t kDescriptorCodeMask = 0xFF;
constexpr uint32_t kDescriptorWide = 0x200;
constexpr uint32_t kDescriptorWritable = 0x400;
constexpr uint32_t kDescriptorMeasured = 0x800;
constexpr uint32_t kDescriptorPulse = 0x1000;

// Fixed message text of a result code; "Unknown Error" for any value not in the table.
std::string resultMessage(int code);

// Name of an IO type; "Unknown IO Type" above 12.
std::string ioTypeName(uint32_t type);

// Descriptor word of a configuration code or type value; 0 for code 0 and unknown codes.
uint32_t pointDescriptor(uint32_t code);

// True when the descriptor of the value carries the writable bit.
bool isWritableType(uint32_t type);

}  // namespace tavrik
