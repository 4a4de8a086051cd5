// Bootloader frames from the module's side: 0x01, the payload and its CRC-16/XMODEM (low byte
// first) with 0x01, 0x04 and 0x10 escaped by 0x10, then 0x04. Pure code over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrik::virt {

constexpr uint8_t kFrameStart = 0x01;
constexpr uint8_t kFrameEnd = 0x04;
constexpr uint8_t kFrameEscape = 0x10;

// crcFlip is XORed into the CRC, to send a frame the host must reject.
std::vector<uint8_t> encodeFrame(const std::vector<uint8_t>& payload, uint16_t crcFlip = 0);

// Collects frames from a byte stream that may split them anywhere. Bytes outside a frame
// (report padding) are skipped; a frame with a bad CRC, or too long to be one, is dropped.
class FrameDecoder {
  public:
    static constexpr size_t kMaxBody = 2048;

    // True when byte completes a good frame; payload() then holds it without its CRC.
    bool feed(uint8_t byte);
    const std::vector<uint8_t>& payload() const { return body_; }
    size_t droppedFrames() const { return dropped_; }
    void reset();

  private:
    std::vector<uint8_t> body_;
    bool inFrame_ = false;
    bool escaped_ = false;
    size_t dropped_ = 0;
};

}  // namespace tavrik::virt
