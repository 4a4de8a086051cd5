// Frames of the bootloader protocol: start byte, payload and its CRC-16/XMODEM (low byte
// first) with 0x01, 0x04 and 0x10 escaped, end byte. Pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrik {

constexpr uint8_t kFrameStart = 0x01;
constexpr uint8_t kFrameEnd = 0x04;
constexpr uint8_t kFrameEscape = 0x10;

// Request and reply payload room. A Program frame holds at most 499 bytes plus one record of
// at most 127 bytes (a line holds at most 255 characters), so 626 bytes, plus the CRC.
constexpr size_t kPayloadCapacity = 1000;
// Incoming payload is discarded when it grows this long without a frame end.
constexpr size_t kDecodeLimit = kPayloadCapacity - 2;
// Every byte of the payload room, payload and CRC alike, may need an escape; plus start and end.
constexpr size_t kRawCapacity = 2 * kPayloadCapacity + 2;

// Bytes on the wire for a payload of length bytes when every byte needs its escape.
constexpr size_t encodedSizeBound(size_t length) {
    return 2 * (length + 2) + 2;
}

// Encodes payload[0, length) into raw. Returns the number of bytes written, or -1 when raw
// (capacity bytes) could be too small for it.
int encodeFrame(const uint8_t* payload, size_t length, uint8_t* raw, size_t capacity);

// Collects one reply frame from the bytes of successive reports. The escape state persists
// across reports and frames: a report may end right after an escape byte.
class FrameDecoder {
  public:
    // Feeds count received bytes into payload (kPayloadCapacity bytes), whose first
    // *payloadLength bytes are the frame so far. Returns true when a frame with a good CRC
    // has ended; *payloadLength is then its length without the CRC and the rest of data is
    // dropped. Returns false when more bytes are needed. A frame with a bad CRC is ignored.
    bool feed(const uint8_t* data, size_t count, uint8_t* payload, size_t* payloadLength);

  private:
    bool escaped_ = false;
};

}  // namespace tavrik
