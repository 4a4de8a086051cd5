#include "crc16.h"

#include <array>

namespace tavrik {

namespace {

// CRC-16/XMODEM of each 4-bit value placed in the top nibble.
constexpr uint16_t kXmodemNibbles[16] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
    0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
};

std::array<uint16_t, 256> makeArcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        table[i] = crc;
    }
    return table;
}

}  // namespace

uint16_t crc16Xmodem(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>((crc << 4) ^ kXmodemNibbles[(crc >> 12) ^ (data[i] >> 4)]);
        crc = static_cast<uint16_t>((crc << 4) ^ kXmodemNibbles[(crc >> 12) ^ (data[i] & 0x0F)]);
    }
    return crc;
}

uint16_t crc16Arc(const uint8_t* data, size_t length) {
    // Function-local static: built once, on first use, safely across threads.
    static const std::array<uint16_t, 256> table = makeArcTable();
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
    return crc;
}

}  // namespace tavrik
