#include "tavrik_message.h"

#include <algorithm>
#include <cstring>

#include "crc16.h"
#include "tavrik_result.h"

namespace tavrik {

uint16_t readU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void writeU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void writeU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string fieldText(const uint8_t* field, size_t size) {
    // A field that fills up without a terminator ends at the field's end.
    const void* nul = std::memchr(field, 0, size);
    const size_t length =
        nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : size;
    return std::string(reinterpret_cast<const char*>(field), length);
}

uint8_t checkByte(const TavrikMessage& message) {
    return static_cast<uint8_t>(crc16Xmodem(message.bytes, msg::Check));
}

void sealMessage(TavrikMessage& message) {
    message.bytes[msg::Preamble] = kPreamble;
    message.bytes[msg::Check] = checkByte(message);
}

int validateMessage(const uint8_t* data, int length) {
    if (data == nullptr || length != static_cast<int>(kMessageSize))
        return CommunicationTimeout;
    if (data[msg::Preamble] != kPreamble)
        return MessageMissingPreamble;
    if (data[msg::Check] != static_cast<uint8_t>(crc16Xmodem(data, msg::Check)))
        return MessageCrcInvalid;
    return Ok;
}

namespace {

TavrikMessage commandMessage(TavrikCommand command) {
    TavrikMessage message;
    message.bytes[msg::Command] = command;
    return message;
}

}  // namespace

TavrikMessage statusRequest(RequestMode mode, uint32_t hostTime) {
    TavrikMessage message = commandMessage(CmdStatus);
    message.bytes[msg::Parameter] = mode;
    writeU32(message.bytes + msg::Constant, 1);
    writeU32(message.bytes + msg::HostTime, hostTime);
    return message;
}

TavrikMessage bootloaderRestartRequest() {
    TavrikMessage message = commandMessage(CmdStatus);
    message.bytes[msg::EnterBootloader] = 1;
    return message;
}

TavrikMessage infoBlockRequest(uint16_t offset, uint8_t length) {
    TavrikMessage message = commandMessage(CmdReadInfoBlock);
    writeU16(message.bytes + msg::BlockOffset, offset);
    message.bytes[msg::BlockLength] = length;
    return message;
}

TavrikMessage ioConfigRequest(uint8_t offset) {
    TavrikMessage message = commandMessage(CmdReadIoConfig);
    message.bytes[msg::Parameter] = offset;
    return message;
}

TavrikMessage stateRequest(bool extended, RequestMode mode) {
    TavrikMessage message = commandMessage(extended ? CmdStateExtended : CmdStateBasic);
    message.bytes[msg::Parameter] = mode;
    return message;
}

void setImageOffset(TavrikMessage& message, uint16_t offset) {
    writeU16(message.bytes + msg::ImageOffset, offset);
}

StatusReply decodeStatusReply(const TavrikMessage& reply) {
    StatusReply status;
    status.typeText = fieldText(reply.bytes + msg::TypeText, msg::TypeTextSize);
    status.firmwareVersion = fieldText(reply.bytes + msg::FirmwareText, msg::FirmwareTextSize);
    status.deviceFlags = static_cast<int32_t>(readU32(reply.bytes + msg::DeviceFlags));
    status.watchdogTime = readU32(reply.bytes + msg::WatchdogTime);
    status.watchdogReset = reply.bytes[msg::WatchdogResetFlag] != 0;
    return status;
}

int checkInformationBlock(const uint8_t* block) {
    if (block == nullptr || block[block::Marker] != kPreamble)
        return FlashError;
    if (crc16Arc(block, block::Crc) != readU16(block + block::Crc))
        return FlashError;
    return Ok;
}

InformationBlock decodeInformationBlock(const uint8_t* block) {
    InformationBlock info;
    info.serial = fieldText(block + block::Serial, block::SerialSize);
    info.name = fieldText(block + block::Name, block::NameSize);
    info.hardwareVersion = fieldText(block + block::Hardware, block::HardwareSize);
    return info;
}

size_t deriveConfigFromStateReply(const TavrikMessage& reply, uint8_t* config, size_t capacity) {
    const size_t reported = size_t{reply.bytes[msg::CountA]} + reply.bytes[msg::CountB];
    // The direction bitmap has room for 216 points; no more can be derived from it.
    const size_t count = std::min({reported, capacity, msg::DirectionSize * 8});
    for (size_t k = 0; k < count; ++k) {
        const bool output = (reply.bytes[msg::Direction + k / 8] >> (k % 8)) & 1;
        config[k] = output ? (k == 0 ? kRelayCode : Outputs) : Inputs;
    }
    return count;
}

}  // namespace tavrik
