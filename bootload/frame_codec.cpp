#include "frame_codec.h"

#include "crc16.h"

namespace tavrik {

namespace {

bool needsEscape(uint8_t byte) {
    return byte == kFrameStart || byte == kFrameEnd || byte == kFrameEscape;
}

void appendEscaped(uint8_t byte, uint8_t* raw, size_t* count) {
    if (needsEscape(byte)) {
        raw[(*count)++] = kFrameEscape;
    }
    raw[(*count)++] = byte;
}

}  // namespace

int encodeFrame(const uint8_t* payload, size_t length, uint8_t* raw, size_t capacity) {
    if (encodedSizeBound(length) > capacity) {
        return -1;
    }
    const uint16_t crc = crc16Xmodem(payload, length);
    size_t count = 0;
    raw[count++] = kFrameStart;
    for (size_t i = 0; i < length; ++i) {
        appendEscaped(payload[i], raw, &count);
    }
    appendEscaped(static_cast<uint8_t>(crc & 0xFF), raw, &count);
    appendEscaped(static_cast<uint8_t>(crc >> 8), raw, &count);
    raw[count++] = kFrameEnd;
    return static_cast<int>(count);
}

bool FrameDecoder::feed(const uint8_t* data, size_t count, uint8_t* payload,
                        size_t* payloadLength) {
    size_t& length = *payloadLength;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = data[i];
        if (length >= kDecodeLimit) {
            length = 0;
        }
        if (escaped_) {
            payload[length++] = byte;
            escaped_ = false;
        } else if (byte == kFrameStart) {
            length = 0;
        } else if (byte == kFrameEnd) {
            if (length > 2) {
                const uint16_t received =
                    static_cast<uint16_t>(payload[length - 2] | (payload[length - 1] << 8));
                if (crc16Xmodem(payload, length - 2) == received) {
                    length -= 2;
                    return true;
                }
            }
        } else if (byte == kFrameEscape) {
            escaped_ = true;
        } else {
            payload[length++] = byte;
        }
    }
    return false;
}

}  // namespace tavrik
