#include "app_firmware.h"

#include <algorithm>
#include <cstring>

#include "crc16.h"
#include "tavrik_result.h"

namespace tavrik::virt {

namespace {

constexpr uint8_t kInfoMarker = 0xAA;
constexpr size_t kMaxConfigEntries = 255;

uint8_t checkOf(const TavrikMessage& message) {
    return crc16Xmodem(message.bytes, msg::Check) & 0xFF;
}

void seal(TavrikMessage& message) {
    message.bytes[msg::Preamble] = kPreamble;
    message.bytes[msg::Check] = checkOf(message);
}

void putU16(uint8_t* p, uint16_t v) {
    p[0] = v & 0xFF;
    p[1] = v >> 8;
}

void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = (v >> (8 * i)) & 0xFF;
    }
}

// Cut at the field's end: a text that fills the field has no terminator, as the host allows.
void putText(uint8_t* field, size_t size, const std::string& text) {
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

size_t imageOffsetOf(const TavrikMessage& request) {
    return request.bytes[msg::ImageOffset] | (request.bytes[msg::ImageOffset + 1] << 8);
}

}  // namespace

AppFirmware::AppFirmware(const ModuleConfig& config)
    : config_(config),
      layout_(layoutFor(config.ioConfig, (config.deviceFlags & kFlagExtendedLayout) != 0)) {
    infoBlock_[block::Marker] = kInfoMarker;
    putText(infoBlock_ + block::Serial, block::SerialSize, config.infoSerial);
    putText(infoBlock_ + block::Name, block::NameSize, config.infoName);
    putText(infoBlock_ + block::Hardware, block::HardwareSize, config.hardwareVersion);
    uint16_t crc = crc16Arc(infoBlock_, block::Crc);
    if (config.infoDamaged) {
        crc ^= 0xFFFF;
    }
    putU16(infoBlock_ + block::Crc, crc);
    for (const Fault& fault : config.faults) {
        injectFault(fault);
    }
    powerOn();
}

void AppFirmware::powerOn() {
    image_.assign(layout_.imageLength, 0);
    for (const PointSlot& slot : layout_.points) {
        writeRaw(image_, slot, wireValue(slot, 0));
    }
    for (uint32_t bit : layout_.unknownBits) {
        image_[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    }
    for (const PointValue& value : config_.initialValues) {
        setPoint(value.type, value.index, value.value);
    }
}

AppFirmware::Signal AppFirmware::receive(const uint8_t* report, size_t length,
                                         std::deque<InputReport>& out) {
    TavrikMessage request;
    std::memcpy(request.bytes, report, std::min(length, kMessageSize));
    requests_.push_back(request);

    // A fault that is still letting requests through counts this one and spoils nothing.
    auto fault = std::find_if(faults_.begin(), faults_.end(),
                              [&](const Fault& f) { return matches(f, request); });
    if (fault != faults_.end() && fault->after > 0) {
        --fault->after;
        fault = faults_.end();
    }
    // A request that is lost, refused, or cut off by the module leaving never takes effect;
    // the other faults spoil the reply on its way back.
    const bool refused =
        fault != faults_.end() && (fault->kind == Fault::NoReply || fault->kind == Fault::Status ||
                                   fault->kind == Fault::Vanish);

    TavrikMessage reply;
    reply.bytes[msg::Command] = request.command();
    Signal signal = None;
    if (request.bytes[msg::Preamble] != kPreamble) {
        reply.bytes[msg::Status] = static_cast<uint8_t>(MessageMissingPreamble);
    } else if (request.bytes[msg::Check] != checkOf(request)) {
        reply.bytes[msg::Status] = static_cast<uint8_t>(MessageCrcInvalid);
    } else if (request.command() == CmdStatus && request.bytes[msg::EnterBootloader] == 1) {
        return EnterBootloader;  // restarts at once, without an answer
    } else {
        if (request.command() == CmdStatus && request.bytes[msg::Parameter] == 1) {
            signal = KeepAlive;
        }
        if (!refused && !answer(request, reply)) {
            return signal;
        }
    }

    bool late = false;
    seal(reply);
    if (fault != faults_.end()) {
        switch (fault->kind) {
            case Fault::LateReply:
                late = true;
                break;
            case Fault::BadPreamble:
                reply.bytes[msg::Preamble] = kPreamble + 1;
                reply.bytes[msg::Check] = checkOf(reply);
                break;
            case Fault::BadCheck:
                reply.bytes[msg::Check] ^= 0xFF;
                break;
            case Fault::Status:
                reply.bytes[msg::Status] = static_cast<uint8_t>(fault->status);
                reply.bytes[msg::Check] = checkOf(reply);
                break;
            default:
                break;
        }
        const Fault::Kind kind = fault->kind;
        if (kind == Fault::Vanish && fault->backMs >= 0) {
            vanishReturnMs_ = fault->backMs;
        }
        if (--fault->count <= 0) {
            faults_.erase(fault);
        }
        if (kind == Fault::NoReply) {
            return signal;
        }
        if (kind == Fault::Vanish) {
            return Unplug;
        }
    }
    send(reply, late, out);
    return signal;
}

bool AppFirmware::matches(const Fault& fault, const TavrikMessage& request) const {
    return fault.kind <= Fault::Vanish &&
           (fault.command < 0 || fault.command == request.command()) &&
           (!fault.writesOnly || changesWritablePoints(request));
}

// Whether the module would take a new value of a writable point from this request.
bool AppFirmware::changesWritablePoints(const TavrikMessage& request) const {
    std::vector<uint8_t> taken = image_;
    takeHostImage(request, taken);
    return taken != image_;
}

// Mode 1 is the host's running exchange: it owns the writable points then. In mode 0, while
// opening, the host only learns the module's values, so nothing of its image is taken.
void AppFirmware::takeHostImage(const TavrikMessage& request, std::vector<uint8_t>& image) const {
    if (request.bytes[msg::Parameter] != 1) {
        return;
    }
    if (request.command() == CmdStateBasic) {
        takeWritablePoints(image, layout_, request.bytes + msg::BasicImage, 0, msg::BasicChunk);
    } else if (request.command() == CmdStateExtended) {
        takeWritablePoints(image, layout_, request.bytes + msg::ExtendedImage,
                           imageOffsetOf(request), msg::ExtendedChunk);
    }
}

// Fills the reply; false when the module does not answer.
bool AppFirmware::answer(const TavrikMessage& request, TavrikMessage& reply) {
    switch (request.command()) {
        case CmdStatus:
            answerStatus(reply);
            return true;
        case CmdStateBasic:
            answerBasicState(request, reply);
            return true;
        case CmdReadInfoBlock:
            reply.bytes[msg::Status] = static_cast<uint8_t>(answerInfoBlock(request, reply));
            return true;
        case CmdReadIoConfig:
            if (!config_.answersConfigCommand) {
                return false;
            }
            answerIoConfig(request, reply);
            return true;
        case CmdStateExtended:
            answerExtendedState(request, reply);
            return true;
        default:
            reply.bytes[msg::Status] = static_cast<uint8_t>(CommandInvalid);
            return true;
    }
}

void AppFirmware::answerStatus(TavrikMessage& reply) const {
    putText(reply.bytes + msg::TypeText, msg::TypeTextSize, config_.typeText);
    putText(reply.bytes + msg::FirmwareText, msg::FirmwareTextSize, config_.firmwareVersion);
    putU32(reply.bytes + msg::DeviceFlags, static_cast<uint32_t>(config_.deviceFlags));
    putU32(reply.bytes + msg::WatchdogTime, config_.watchdogTime);
    reply.bytes[msg::WatchdogResetFlag] = config_.watchdogReset ? 1 : 0;
}

void AppFirmware::answerBasicState(const TavrikMessage& request, TavrikMessage& reply) {
    takeHostImage(request, image_);
    const size_t entries = config_.ioConfig.size();
    size_t outputs = 0;
    for (const PointSlot& slot : layout_.points) {
        if (slot.writable && !slot.wide) {
            ++outputs;
            if (slot.entry < msg::DirectionSize * 8) {
                reply.bytes[msg::Direction + slot.entry / 8] |= 1u << (slot.entry % 8);
            }
        }
    }
    reply.bytes[msg::CountA] = static_cast<uint8_t>(std::min<size_t>(entries - outputs, 255));
    reply.bytes[msg::CountB] = static_cast<uint8_t>(std::min<size_t>(outputs, 255));
    copyImage(reply.bytes + msg::BasicImage, 0, msg::BasicChunk);
}

void AppFirmware::answerExtendedState(const TavrikMessage& request, TavrikMessage& reply) {
    const size_t offset = imageOffsetOf(request);
    takeHostImage(request, image_);
    putU16(reply.bytes + msg::ImageOffset, static_cast<uint16_t>(offset));
    copyImage(reply.bytes + msg::ExtendedImage, offset, msg::ExtendedChunk);
}

int AppFirmware::answerInfoBlock(const TavrikMessage& request, TavrikMessage& reply) const {
    const size_t offset =
        request.bytes[msg::BlockOffset] | (request.bytes[msg::BlockOffset + 1] << 8);
    const size_t length = request.bytes[msg::BlockLength];
    if (length > msg::BlockChunkMax || offset > kInfoBlockSize ||
        length > kInfoBlockSize - offset) {
        return InvalidParameterValue;
    }
    std::memcpy(reply.bytes + msg::BlockData, infoBlock_ + offset, length);
    return Ok;
}

void AppFirmware::answerIoConfig(const TavrikMessage& request, TavrikMessage& reply) const {
    const size_t total = std::min(config_.ioConfig.size(), kMaxConfigEntries);
    const size_t offset = request.bytes[msg::Parameter];
    reply.bytes[msg::ConfigTotal] = static_cast<uint8_t>(total);
    if (offset < total) {
        const size_t n = std::min(total - offset, msg::ConfigEntriesMax);
        std::memcpy(reply.bytes + msg::ConfigEntries, config_.ioConfig.data() + offset, n);
    }
}

// Image bytes beyond its end read as 0.
void AppFirmware::copyImage(uint8_t* to, size_t offset, size_t size) const {
    if (offset < image_.size()) {
        std::memcpy(to, image_.data() + offset, std::min(size, image_.size() - offset));
    }
}

void AppFirmware::send(const TavrikMessage& message, bool late,
                       std::deque<InputReport>& out) const {
    InputReport report;
    std::memcpy(report.bytes.data(), message.bytes, kMessageSize);
    report.late = late;
    out.push_back(report);
}

int32_t AppFirmware::point(uint32_t type, uint32_t index) const {
    const PointSlot* slot = layout_.find(type, index);
    return slot != nullptr ? hostValue(*slot, readRaw(image_, *slot)) : kNoPoint;
}

bool AppFirmware::setPoint(uint32_t type, uint32_t index, int32_t value) {
    const PointSlot* slot = layout_.find(type, index);
    if (slot == nullptr) {
        return false;
    }
    writeRaw(image_, *slot, wireValue(*slot, value));
    return true;
}

// The whole image: one basic event, or extended events in the host's overlapping steps.
void AppFirmware::sendStateEvent(std::deque<InputReport>& out) const {
    const bool extended = (config_.deviceFlags & kFlagExtendedLayout) != 0;
    size_t offset = 0;
    do {
        TavrikMessage event;
        if (extended) {
            event.bytes[msg::Command] = CmdStateEventExtended;
            putU16(event.bytes + msg::ImageOffset, static_cast<uint16_t>(offset));
            copyImage(event.bytes + msg::ExtendedImage, offset, msg::ExtendedChunk);
        } else {
            event.bytes[msg::Command] = CmdStateEventBasic;
            copyImage(event.bytes + msg::BasicImage, 0, msg::BasicChunk);
        }
        seal(event);
        send(event, false, out);
        offset += msg::ExtendedStep;
    } while (extended && offset < image_.size());
}

void AppFirmware::sendErrorEvent(int8_t code, std::deque<InputReport>& out) const {
    TavrikMessage event;
    event.bytes[msg::Command] = CmdErrorEvent;
    event.bytes[msg::Status] = static_cast<uint8_t>(code);
    seal(event);
    send(event, false, out);
}

void AppFirmware::injectFault(const Fault& fault) {
    if (fault.kind <= Fault::Vanish && fault.count > 0) {
        faults_.push_back(fault);
    }
}

size_t AppFirmware::requestCount(uint8_t command) const {
    return std::count_if(requests_.begin(), requests_.end(),
                         [command](const TavrikMessage& m) { return m.command() == command; });
}

}  // namespace tavrik::virt
