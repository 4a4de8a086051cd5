// Intel HEX text for the HEX loader's and the firmware tool's tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tavrik::test {

// One record line without its line end, with a correct checksum; the byte count is the data
// size unless given.
inline std::string hexLine(uint16_t address, uint8_t type, const std::vector<uint8_t>& data,
                           int count = -1) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(count < 0 ? data.size() : count),
                                  static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : bytes) {
        sum = static_cast<uint8_t>(sum + b);
    }
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        line += pair;
    }
    return line;
}

// One record line, LF-terminated.
inline std::string hexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    return hexLine(address, type, data) + "\n";
}

inline std::string endOfFileRecord() {
    return hexRecord(0x01, 0, {});
}

// Extended linear address 0x1D00: data records then land from 0x9D000000 (bit 31 set).
inline std::string imageBaseRecord() {
    return hexRecord(0x04, 0, {0x1D, 0x00});
}

}  // namespace tavrik::test
