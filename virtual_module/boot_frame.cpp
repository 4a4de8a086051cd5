#include "boot_frame.h"

#include "crc16.h"

namespace tavrik::virt {

namespace {

void putEscaped(std::vector<uint8_t>& raw, uint8_t byte) {
    if (byte == kFrameStart || byte == kFrameEnd || byte == kFrameEscape) {
        raw.push_back(kFrameEscape);
    }
    raw.push_back(byte);
}

}  // namespace

std::vector<uint8_t> encodeFrame(const std::vector<uint8_t>& payload, uint16_t crcFlip) {
    const uint16_t crc = crc16Xmodem(payload.data(), payload.size()) ^ crcFlip;
    std::vector<uint8_t> raw;
    raw.reserve(2 * payload.size() + 6);
    raw.push_back(kFrameStart);
    for (uint8_t byte : payload) {
        putEscaped(raw, byte);
    }
    putEscaped(raw, crc & 0xFF);
    putEscaped(raw, crc >> 8);
    raw.push_back(kFrameEnd);
    return raw;
}

bool FrameDecoder::feed(uint8_t byte) {
    if (escaped_) {
        escaped_ = false;
        if (inFrame_) {
            body_.push_back(byte);
        }
    } else if (byte == kFrameStart) {
        body_.clear();
        inFrame_ = true;
        return false;
    } else if (byte == kFrameEscape) {
        escaped_ = true;
        return false;
    } else if (!inFrame_) {
        return false;
    } else if (byte == kFrameEnd) {
        inFrame_ = false;
        const size_t n = body_.size();
        if (n >= 3 && crc16Xmodem(body_.data(), n - 2) == (body_[n - 2] | (body_[n - 1] << 8))) {
            body_.resize(n - 2);
            return true;
        }
        ++dropped_;
        body_.clear();
        return false;
    } else {
        body_.push_back(byte);
    }
    if (body_.size() > kMaxBody) {
        inFrame_ = false;
        body_.clear();
        ++dropped_;
    }
    return false;
}

void FrameDecoder::reset() {
    body_.clear();
    inFrame_ = false;
    escaped_ = false;
}

}  // namespace tavrik::virt
