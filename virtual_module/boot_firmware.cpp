#include "boot_firmware.h"

#include <algorithm>
#include <cstring>

#include "crc16.h"

namespace tavrik::virt {

namespace {

enum BootCommand : uint8_t {
    BootInfo = 0x01,
    Erase = 0x02,
    Program = 0x03,
    ReadCrc = 0x04,
    StartApp = 0x05,
    HardwareType = 0x07,
};

enum RecordType : uint8_t {
    DataRecord = 0x00,
    SegmentRecord = 0x02,
    LinearRecord = 0x04,
};

constexpr size_t kRecordOverhead = 5;  // count, address high and low, type, checksum

uint32_t readLe32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool isBootFault(const Fault& fault) {
    return fault.kind >= Fault::BootNoAnswer;
}

}  // namespace

BootFirmware::BootFirmware(const ModuleConfig& config) : config_(config), flash_(kFlashSize, 0xFF) {
    for (const Fault& fault : config.faults) {
        injectFault(fault);
    }
}

void BootFirmware::powerOn() {
    decoder_.reset();
}

BootFirmware::Signal BootFirmware::receive(const uint8_t* report, size_t length,
                                           std::deque<InputReport>& out) {
    for (size_t i = 0; i < length; ++i) {
        if (decoder_.feed(report[i])) {
            requests_.push_back(decoder_.payload());
            const Signal signal = handle(decoder_.payload(), out);
            if (signal != None) {
                return signal;  // the module is gone or restarting: the rest is lost
            }
        }
    }
    return None;
}

BootFirmware::Signal BootFirmware::handle(const std::vector<uint8_t>& request,
                                          std::deque<InputReport>& out) {
    const uint8_t command = request[0];
    const auto vanish = firingFault(command, true);
    if (vanish != faults_.end()) {
        if (vanish->backMs >= 0) {
            vanishReturnMs_ = vanish->backMs;
        }
        if (--vanish->count <= 0) {
            faults_.erase(vanish);
        }
        out.clear();
        return Unplug;
    }
    switch (command) {
        case BootInfo:
            reply(command, {command, config_.bootVersionMajor, config_.bootVersionMinor}, out);
            return None;
        case Erase:
            erase();
            reply(command, {command}, out);
            return None;
        case Program:
            if (programFramesLeft_ == 0) {
                programFramesLeft_ = -1;
                out.clear();
                return Unplug;
            }
            if (programFramesLeft_ > 0) {
                --programFramesLeft_;
            }
            program(request.data() + 1, request.size() - 1);
            reply(command, {command}, out);
            return None;
        case ReadCrc: {
            if (request.size() != 9) {
                return None;  // not a request this bootloader can read
            }
            const uint16_t crc = crcOf(readLe32(&request[1]), readLe32(&request[5]));
            reply(command,
                  {command, static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}, out);
            return None;
        }
        case StartApp:
            reply(command, {command}, out);
            return StartApplication;
        case HardwareType:
            reply(command, {command, config_.hardwareType}, out);
            return None;
        default:
            return None;
    }
}

void BootFirmware::erase() {
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    segment_ = 0;
    linear_ = 0;
    lowest_ = 0xFFFFFFFF;
    highestEnd_ = 0;
}

// Records in byte form, back to back. A record cut short ends the frame's records; one with
// a bad checksum is skipped.
void BootFirmware::program(const uint8_t* records, size_t length) {
    size_t at = 0;
    while (length - at >= kRecordOverhead) {
        const uint8_t* record = records + at;
        const size_t size = kRecordOverhead + record[0];
        if (size > length - at) {
            return;
        }
        at += size;
        uint8_t sum = 0;
        for (size_t i = 0; i < size; ++i) {
            sum += record[i];
        }
        if (sum != 0) {
            continue;
        }
        const uint8_t count = record[0];
        const uint8_t* data = record + 4;
        const uint32_t value = count >= 2 ? (data[0] << 8) | data[1] : 0;
        switch (record[3]) {
            case DataRecord:
                placeData(((record[1] << 8) | record[2]) + segment_ + linear_, data, count);
                break;
            case SegmentRecord:
                segment_ = value << 8;
                linear_ = 0;
                break;
            case LinearRecord:
                linear_ = value << 16;
                segment_ = 0;
                break;
            default:
                segment_ = 0;
                linear_ = 0;
                break;
        }
    }
}

// Program space is reached through its cached and uncached views alike, hence bit 31.
void BootFirmware::placeData(uint32_t address, const uint8_t* data, size_t count) {
    address |= 0x80000000;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t byteAddress = address + static_cast<uint32_t>(i);
        const uint32_t offset = byteAddress - kFlashBase;
        if (offset >= kFlashSize) {
            continue;
        }
        if (stuckArmed_ && !stuckOffset_) {
            stuckOffset_ = offset;
        }
        flash_[offset] = offset == stuckOffset_ ? data[i] ^ 0xFF : data[i];
        lowest_ = std::min(lowest_, byteAddress);
        highestEnd_ = std::max(highestEnd_, byteAddress + 1);
    }
}

// Over the part of [start, start + length) that lies in the window.
uint16_t BootFirmware::crcOf(uint32_t start, uint32_t length) const {
    const uint64_t begin = std::max<uint64_t>(start, kFlashBase);
    const uint64_t end =
        std::min<uint64_t>(uint64_t{start} + length, uint64_t{kFlashBase} + kFlashSize);
    if (begin >= end) {
        return 0;
    }
    return crc16Xmodem(flash_.data() + (begin - kFlashBase), end - begin);
}

void BootFirmware::reply(uint8_t command, std::vector<uint8_t> payload,
                         std::deque<InputReport>& out) {
    uint16_t crcFlip = 0;
    const auto fault = firingFault(command, false);
    if (fault != faults_.end()) {
        const Fault::Kind kind = fault->kind;
        if (--fault->count <= 0) {
            faults_.erase(fault);
        }
        if (kind == Fault::BootNoAnswer) {
            return;
        }
        if (kind == Fault::BootWrongLength) {
            payload.push_back(0);
        } else {
            crcFlip = 0x5A5A;
        }
    }
    const std::vector<uint8_t> raw = encodeFrame(payload, crcFlip);
    for (size_t at = 0; at < raw.size(); at += kMessageSize) {
        InputReport report;
        std::copy_n(raw.begin() + at, std::min(kMessageSize, raw.size() - at),
                    report.bytes.begin());
        out.push_back(report);
    }
}

// The first fault of the kind asked for that takes this command, once the requests it lets
// through first have passed; end() for none.
std::vector<Fault>::iterator BootFirmware::firingFault(uint8_t command, bool vanish) {
    const auto fault = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& f) {
        const bool kind = vanish
                              ? f.kind == Fault::BootVanish
                              : (f.kind == Fault::BootNoAnswer ||
                                 f.kind == Fault::BootWrongLength || f.kind == Fault::BootBadCrc);
        return kind && (f.bootCommand == 0 || f.bootCommand == command);
    });
    if (fault != faults_.end() && fault->after > 0) {
        --fault->after;
        return faults_.end();
    }
    return fault;
}

void BootFirmware::injectFault(const Fault& fault) {
    if (!isBootFault(fault)) {
        return;
    }
    if (fault.kind == Fault::FlashStuckByte) {
        stuckArmed_ = true;
    } else if (fault.kind == Fault::UnplugAfterProgramFrames) {
        programFramesLeft_ = std::max(fault.count, 0);
    } else if (fault.count > 0) {
        faults_.push_back(fault);
    }
}

}  // namespace tavrik::virt
