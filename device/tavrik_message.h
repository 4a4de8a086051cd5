// The 64-byte application message: layout, check byte, the requests the host sends and
// readers for the replies it receives. Readers take bytes and do no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrik {

constexpr size_t kMessageSize = 64;

// USB vendor ID of every module, in its application and in its bootloader mode.
constexpr uint16_t kVendorId = 0x04D8;
constexpr uint8_t kPreamble = 0xAA;

enum TavrikCommand : uint8_t {
    CmdErrorEvent = 0,
    CmdStatus = 1,
    CmdStateBasic = 2,
    CmdReadInfoBlock = 3,
    CmdStateEventBasic = 4,
    CmdReadIoConfig = 5,
    CmdStateExtended = 6,
    CmdStateEventExtended = 7,
};

// Field offsets of the message, by command.
namespace msg {
constexpr size_t Preamble = 0;
constexpr size_t Command = 1;
constexpr size_t Status = 2;
constexpr size_t Parameter = 4;
constexpr size_t Check = 63;
// command 1
constexpr size_t EnterBootloader = 5;
constexpr size_t TypeText = 9;
constexpr size_t TypeTextSize = 10;
constexpr size_t FirmwareText = 19;
constexpr size_t FirmwareTextSize = 17;
constexpr size_t Constant = 32;
constexpr size_t DeviceFlags = 36;
constexpr size_t HostTime = 40;
constexpr size_t WatchdogTime = 44;
constexpr size_t WatchdogResetFlag = 48;
// command 2 and 4
constexpr size_t CountA = 5;
constexpr size_t CountB = 6;
constexpr size_t Direction = 8;
constexpr size_t DirectionSize = 27;
constexpr size_t BasicImage = 35;
constexpr size_t BasicChunk = 27;
constexpr size_t BasicStep = 25;
// command 3
constexpr size_t BlockOffset = 5;
constexpr size_t BlockLength = 7;
constexpr size_t BlockData = 12;
constexpr size_t BlockChunkMax = 51;
// command 5
constexpr size_t ConfigTotal = 5;
constexpr size_t ConfigEntries = 6;
constexpr size_t ConfigEntriesMax = 57;
// command 6 and 7
constexpr size_t ImageOffset = 5;
constexpr size_t ExtendedImage = 7;
constexpr size_t ExtendedChunk = 56;
constexpr size_t ExtendedStep = 54;
}  // namespace msg

// Device flags bit 0: extended state layout and full 8-bit configuration codes.
constexpr int32_t kFlagExtendedLayout = 0x1;

struct TavrikMessage {
    uint8_t bytes[kMessageSize] = {};

    uint8_t command() const { return bytes[msg::Command]; }
    // Byte 2 sign-extended: the module's result in a reply, the reported code in an error event.
    int status() const { return static_cast<int8_t>(bytes[msg::Status]); }
};

// Little-endian field access; the offset and width must lie inside the 64 bytes.
uint16_t readU16(const uint8_t* p);
uint32_t readU32(const uint8_t* p);
void writeU16(uint8_t* p, uint16_t v);
void writeU32(uint8_t* p, uint32_t v);

// Text of a fixed-size field: up to the first NUL, or the whole field when it has none.
std::string fieldText(const uint8_t* field, size_t size);

// Low 8 bits of CRC-16/XMODEM over bytes 0 to 62.
uint8_t checkByte(const TavrikMessage& message);

// Sets the preamble and the check byte, as the transport does before every write.
void sealMessage(TavrikMessage& message);

// Checks a received report: Ok, CommunicationTimeout when it is not exactly 64 bytes,
// MessageMissingPreamble (tested first), or MessageCrcInvalid.
int validateMessage(const uint8_t* data, int length);

// The mode byte of status requests and of state exchanges: while the device is being opened,
// or from the running API thread (the keep-alive; the exchanges that own the writable points).
enum RequestMode : uint8_t {
    ModeOpening = 0,
    ModeRunning = 1,
};

// Requests. Every byte not named is 0; preamble and check byte are set by sealMessage.
// enterBootloader sets byte 5 = 1 and leaves the constant and the time at 0, as the firmware
// tool sends it.
TavrikMessage statusRequest(RequestMode mode, uint32_t hostTime);
TavrikMessage bootloaderRestartRequest();
TavrikMessage infoBlockRequest(uint16_t offset, uint8_t length);
TavrikMessage ioConfigRequest(uint8_t offset);
// State exchange header (command 2 or 6 by the extended flag); the image chunk is added by
// the point table's encoder, and for command 6 the offset by setImageOffset.
TavrikMessage stateRequest(bool extended, RequestMode mode);
void setImageOffset(TavrikMessage& message, uint16_t offset);

// Status reply (command 1).
struct StatusReply {
    std::string typeText;
    std::string firmwareVersion;
    int32_t deviceFlags = 0;
    uint32_t watchdogTime = 0;
    bool watchdogReset = false;
};
StatusReply decodeStatusReply(const TavrikMessage& reply);

// The 147-byte information block kept in the module's flash.
constexpr size_t kInfoBlockSize = 147;
namespace block {
constexpr size_t Marker = 0;
constexpr size_t Serial = 1;
constexpr size_t SerialSize = 64;
constexpr size_t Name = 65;
constexpr size_t NameSize = 64;
constexpr size_t Hardware = 129;
constexpr size_t HardwareSize = 16;
constexpr size_t Crc = 145;
}  // namespace block

// Ok when byte 0 is the marker and the CRC-16/ARC of bytes 0 to 144 equals bytes 145 and 146.
int checkInformationBlock(const uint8_t* block);

struct InformationBlock {
    std::string serial;
    std::string name;
    std::string hardwareVersion;
};
InformationBlock decodeInformationBlock(const uint8_t* block);

// IO configuration.
constexpr size_t kMaxConfigEntries = 128;

// Configuration entries derived from a command 2 reply when command 5 is not answered:
// 65 (relay output) for point 0 and 1 (output) for later points whose direction bit is set,
// 0 (input) otherwise. Fills min(byte 5 + byte 6, capacity, 216) entries and returns that
// number, so callers never use more entries than were filled.
size_t deriveConfigFromStateReply(const TavrikMessage& reply, uint8_t* config, size_t capacity);

}  // namespace tavrik
