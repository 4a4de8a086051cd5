#include "bootloader_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "hex_file.h"
#include "tavrik_connection.h"
#include "tavrik_message.h"
#include "tavrik_result.h"

namespace tavrik {

namespace {

constexpr size_t kChunkSize = hid::kReportSize - 1;  // a report without its report ID

// Reply lengths, command byte included.
constexpr size_t kBootInfoReply = 3;
constexpr size_t kAckReply = 1;
constexpr size_t kReadCrcReply = 3;
constexpr size_t kHardwareTypeReply = 2;

// Whole milliseconds left until deadline; 0 once less than one is left.
int remainingMs(BootloaderDevice::Clock::time_point now,
                BootloaderDevice::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    return static_cast<int>(std::max<decltype(left)::rep>(left.count(), 0));
}

}  // namespace

BootloaderDevice::~BootloaderDevice() {
    close();
}

int BootloaderDevice::openBootloader() {
    const std::wstring wideSerial = widenText(serial_);
    close();
    for (DeviceId id : bootloaderDeviceIds) {
        handle_ = hid::hid_open(vendorOf(id), productOf(id), wideSerial.c_str());
        if (handle_ != nullptr) {
            return BootOk;
        }
    }
    return BootDeviceNotFound;
}

void BootloaderDevice::close() {
    if (handle_ != nullptr) {
        hid::hid_close(handle_);
        handle_ = nullptr;
    }
}

int BootloaderDevice::send() {
    if (handle_ == nullptr) {
        return BootDeviceNotOpen;
    }
    static_assert(encodedSizeBound(kDecodeLimit) <= kRawCapacity, "raw buffer too small");
    const int encoded = encodeFrame(payload_, payloadLength_, raw_, sizeof raw_);
    if (encoded < 0) {
        return BootWriteFailed;
    }
    rawCount_ = static_cast<size_t>(encoded);
    const uint8_t* next = raw_;
    while (rawCount_ > 0) {
        const size_t n = std::min(rawCount_, kChunkSize);
        uint8_t report[hid::kReportSize] = {};  // report ID 0, zero padding after a short chunk
        std::memcpy(report + 1, next, n);
        if (hid::hid_write(handle_, report, hid::kReportSize) < 0) {
            return BootWriteFailed;
        }
        next += n;
        rawCount_ -= n;
    }
    return BootOk;
}

int BootloaderDevice::receive(uint8_t command, size_t expectedLength, int timeoutMs) {
    // The reply is collected from its own start byte; the request bytes are not part of it.
    payloadLength_ = 0;
    // A module that keeps sending reports that never make a good frame (noise, bad CRCs) must
    // not hold the tool: the reply as a whole gets the time-out that each read gets.
    const Clock::time_point deadline = now_() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (handle_ == nullptr) {
            return BootDeviceNotOpen;
        }
        const int waitMs = std::min(timeoutMs, remainingMs(now_(), deadline));
        if (waitMs <= 0) {
            return BootReadFailed;
        }
        const int n = hid::hid_read_timeout(handle_, raw_, kChunkSize, waitMs);
        if (n <= 0) {
            return BootReadFailed;
        }
        rawCount_ = std::min(static_cast<size_t>(n), kChunkSize);
        if (decoder_.feed(raw_, rawCount_, payload_, &payloadLength_)) {
            break;
        }
    }
    if (payloadLength_ != expectedLength || payload_[0] != command) {
        return BootUnexpectedReply;
    }
    return BootOk;
}

int BootloaderDevice::transact(size_t expectedLength, int timeoutMs) {
    const uint8_t command = payload_[0];
    const int sent = send();
    if (sent != BootOk) {
        return sent;
    }
    return receive(command, expectedLength, timeoutMs);
}

int BootloaderDevice::simpleCommand(uint8_t command, size_t replyLength, int timeoutMs) {
    payload_[0] = command;
    payloadLength_ = 1;
    return transact(replyLength, timeoutMs);
}

int BootloaderDevice::bootInfo(std::string* version) {
    const int result = simpleCommand(BootCmdInfo, kBootInfoReply, kBootShortTimeoutMs);
    if (result == BootOk) {
        *version = std::to_string(payload_[1]) + "." + std::to_string(payload_[2]);
    }
    return result;
}

int BootloaderDevice::erase() {
    return simpleCommand(BootCmdErase, kAckReply, kBootLongTimeoutMs);
}

int BootloaderDevice::program(const std::string& hexFileName) {
    HexFile file(hexFileName);
    int last = 0;
    do {
        payload_[0] = BootCmdProgram;
        payloadLength_ = 1;
        do {
            // Never more than the payload room left before the CRC.
            const size_t room = std::min(kProgramCapacity, kDecodeLimit - payloadLength_);
            last = file.readRecord(payload_ + payloadLength_, room);
            if (last < 0) {
                // The file no longer reads as it did when it was validated.
                return BootInvalidHexFile;
            }
            payloadLength_ += static_cast<size_t>(last);
        } while (last != 0 && payloadLength_ < kProgramFrameFill);
        const int result = transact(kAckReply, kBootLongTimeoutMs);
        if (result != BootOk) {
            return result;
        }
        if (progress_) {
            progress_(file.progressPercent());
        }
    } while (last != 0);
    return BootOk;
}

int BootloaderDevice::readCrc(uint32_t start, uint32_t length, uint16_t* crc) {
    payload_[0] = BootCmdReadCrc;
    writeU32(payload_ + 1, start);
    writeU32(payload_ + 5, length);
    payloadLength_ = 9;
    const int result = transact(kReadCrcReply, kBootShortTimeoutMs);
    if (result == BootOk) {
        *crc = static_cast<uint16_t>(payload_[1] | (payload_[2] << 8));
    }
    return result;
}

int BootloaderDevice::startApplication() {
    const int result = simpleCommand(BootCmdStartApplication, kAckReply, kBootShortTimeoutMs);
    if (result == BootOk) {
        close();
    }
    return result;
}

int BootloaderDevice::hardwareType(int* type) {
    const int result = simpleCommand(BootCmdHardwareType, kHardwareTypeReply, kBootShortTimeoutMs);
    if (result == BootOk) {
        *type = payload_[1];
    }
    return result;
}

void BootloaderDevice::enterBootloader() {
    TavrikConnection connection;
    if (connection.openAny(applicationDeviceIds, serial_) != Ok) {
        return;
    }
    TavrikMessage request = bootloaderRestartRequest();
    TavrikMessage reply;
    connection.request(request, reply);
    connection.close();
}

}  // namespace tavrik
