#include "request_text.h"

#include <cstdio>

#include "tavrik_result.h"

namespace tavrik::sim {

namespace {

std::string hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

uint32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::string appRequestName(const TavrikMessage& request) {
    const uint8_t* b = request.bytes;
    switch (request.command()) {
        case CmdStatus:
            if (b[msg::EnterBootloader] == 1) {
                return "restart into the bootloader";
            }
            return b[msg::Parameter] == 1 ? "keep-alive" : "status request";
        case CmdStateBasic:
            return "state exchange";
        case CmdStateExtended:
            return "state exchange at offset " + std::to_string(readU16(b + msg::ImageOffset));
        case CmdReadInfoBlock:
            return "information block read at " + std::to_string(readU16(b + msg::BlockOffset)) +
                   ", " + std::to_string(b[msg::BlockLength]) + " bytes";
        case CmdReadIoConfig:
            return "IO configuration read from entry " + std::to_string(b[msg::Parameter]);
        default:
            return "command " + std::to_string(request.command());
    }
}

std::string bootRequestName(const std::vector<uint8_t>& request) {
    switch (request[0]) {
        case 0x01:
            return "BootInfo";
        case 0x02:
            return "Erase";
        case 0x03:
            return "Program, " + std::to_string(request.size() - 1) + " bytes of records";
        case 0x04:
            if (request.size() != 9) {
                return "ReadCrc with " + std::to_string(request.size() - 1) + " parameter bytes";
            }
            return "ReadCrc from " + hex(le32(request, 1), 8) + ", " +
                   std::to_string(le32(request, 5)) + " bytes";
        case 0x05:
            return "StartApplication";
        case 0x07:
            return "HardwareType";
        default:
            return "command " + hex(request[0], 2);
    }
}

std::string bootReplyText(uint8_t command, const std::vector<uint8_t>& reply) {
    if (command == 0x01 && reply.size() == 3) {
        return "version " + std::to_string(reply[1]) + "." + std::to_string(reply[2]);
    }
    if (command == 0x04 && reply.size() == 3) {
        return "CRC " + hex(reply[1] | reply[2] << 8, 4);
    }
    if (command == 0x07 && reply.size() == 2) {
        return "type " + std::to_string(reply[1]);
    }
    if ((command == 0x02 || command == 0x03 || command == 0x05) && reply.size() == 1) {
        return "done";
    }
    return "answer of " + std::to_string(reply.size()) + " bytes";
}

}  // namespace

std::string appRequestText(const TavrikMessage& request, const TavrikMessage* reply) {
    std::string text = appRequestName(request);
    if (reply == nullptr) {
        text += ": no reply";
    } else if (reply->status() != 0) {
        text += ": status " + std::to_string(reply->status()) + " (" +
                resultMessage(reply->status()) + ")";
    }
    return text;
}

std::string appEventText(const TavrikMessage& message) {
    switch (message.command()) {
        case CmdErrorEvent:
            return "error event " + std::to_string(message.status()) + " (" +
                   resultMessage(message.status()) + ")";
        case CmdStateEventBasic:
            return "state event";
        case CmdStateEventExtended:
            return "state event at offset " +
                   std::to_string(readU16(message.bytes + msg::ImageOffset));
        default:
            return "message with command " + std::to_string(message.command());
    }
}

std::string bootRequestText(const std::vector<uint8_t>& request,
                            const std::vector<uint8_t>* reply) {
    if (request.empty()) {
        return "empty bootloader frame";
    }
    const std::string name = bootRequestName(request);
    if (reply == nullptr) {
        return name + ": no answer";
    }
    return name + ": " + bootReplyText(request[0], *reply);
}

std::string pointChangeText(uint32_t type, uint32_t index, int32_t value) {
    return ioTypeName(type) + "[" + std::to_string(index) + "] = " + std::to_string(value);
}

}  // namespace tavrik::sim
