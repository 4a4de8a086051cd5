#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crc16.h"

namespace tavrik {
namespace {

const uint8_t kCheckInput[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// Bit-at-a-time references, to catch a wrong table entry that the check value might miss.
uint16_t xmodemBitwise(const std::vector<uint8_t>& data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : crc << 1;
    }
    return crc;
}

uint16_t arcBitwise(const std::vector<uint8_t>& data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

TEST(Crc16Test, CheckValues) {
    EXPECT_EQ(crc16Xmodem(kCheckInput, sizeof kCheckInput), 0x31C3);
    EXPECT_EQ(crc16Arc(kCheckInput, sizeof kCheckInput), 0xBB3D);
    EXPECT_EQ(crc16Xmodem(nullptr, 0), 0);
    EXPECT_EQ(crc16Arc(nullptr, 0), 0);
}

TEST(Crc16Test, XmodemContinuesOverBlocks) {
    const uint16_t head = crc16Xmodem(kCheckInput, 4);
    EXPECT_EQ(crc16Xmodem(kCheckInput + 4, 5, head), 0x31C3);
}

TEST(Crc16Test, MatchesBitwiseReferenceForEveryByteValue) {
    // Every byte value in every position of a two-byte string exercises all table entries.
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; b += 17) {
            const std::vector<uint8_t> data = {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
            ASSERT_EQ(crc16Xmodem(data.data(), data.size()), xmodemBitwise(data)) << a << "," << b;
            ASSERT_EQ(crc16Arc(data.data(), data.size()), arcBitwise(data)) << a << "," << b;
        }
    }
}

}  // namespace
}  // namespace tavrik
