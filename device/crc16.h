// The two CRC-16 variants of the protocol.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrik {

// CRC-16/XMODEM (poly 0x1021, init 0, unreflected), a nibble at a time. Message check bytes,
// bootloader frames and the firmware image CRC all use this one function. Pass the previous
// result as crc to continue over a further block.
uint16_t crc16Xmodem(const uint8_t* data, size_t length, uint16_t crc = 0);

// CRC-16/ARC (poly 0x8005 reflected, init 0), with a 256-entry table built on first use.
// Protects the module's information block.
uint16_t crc16Arc(const uint8_t* data, size_t length);

}  // namespace tavrik
