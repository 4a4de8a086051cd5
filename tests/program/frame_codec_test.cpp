#include "frame_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "crc16.h"

namespace tavrik {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& payload) {
    Bytes raw(kRawCapacity);
    const int n = encodeFrame(payload.data(), payload.size(), raw.data(), raw.size());
    EXPECT_GT(n, 0);
    raw.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return raw;
}

struct EncodeCase {
    const char* name;
    Bytes payload;
    Bytes frame;
};

class EncodeFrameTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeFrameTest, ProducesExactWireBytes) {
    EXPECT_EQ(encode(GetParam().payload), GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, EncodeFrameTest,
    ::testing::Values(
        EncodeCase{"PlainCommand", {0x03}, {0x01, 0x03, 0x63, 0x30, 0x04}},
        EncodeCase{
            "EscapedPayloadAndCrcHighByte", {0x01}, {0x01, 0x10, 0x01, 0x21, 0x10, 0x10, 0x04}},
        EncodeCase{
            "EscapedEscapeAndEnd", {0x10, 0x04}, {0x01, 0x10, 0x10, 0x10, 0x04, 0xF7, 0x43, 0x04}},
        EncodeCase{
            "BothCrcBytesEscaped", {0x44, 0x84}, {0x01, 0x44, 0x84, 0x10, 0x04, 0x10, 0x10, 0x04}},
        EncodeCase{"ReadCrcRequest",
                   {0x04, 0x00, 0x60, 0x00, 0x9D, 0x00, 0x90, 0x01, 0x00},
                   {0x01, 0x10, 0x04, 0x00, 0x60, 0x00, 0x9D, 0x00, 0x90, 0x10, 0x01, 0x00, 0x0D,
                    0x63, 0x04}}),
    [](const auto& info) { return std::string(info.param.name); });

// The largest Program payload a valid file yields (499 bytes plus a 127-byte record), with
// every payload and CRC byte one that needs an escape.
Bytes worstCaseProgramPayload() {
    const uint8_t special[] = {0x01, 0x04, 0x10};
    Bytes payload(626, 0x10);
    const size_t freeBytes = 11;  // 3^11 choices: several give a CRC of two special bytes
    const size_t fixed = payload.size() - freeBytes;
    const uint16_t prefixCrc = crc16Xmodem(payload.data(), fixed);
    auto isSpecial = [](uint8_t b) { return b == 0x01 || b == 0x04 || b == 0x10; };
    for (unsigned combo = 0; combo < 177147; ++combo) {
        unsigned rest = combo;
        for (size_t i = fixed; i < payload.size(); ++i, rest /= 3) {
            payload[i] = special[rest % 3];
        }
        const uint16_t crc = crc16Xmodem(payload.data() + fixed, freeBytes, prefixCrc);
        if (isSpecial(crc & 0xFF) && isSpecial(crc >> 8)) {
            return payload;
        }
    }
    ADD_FAILURE() << "no all-escaped payload found";
    return payload;
}

TEST(EncodeFrame, WorstCaseProgramFrameFitsTheRawBuffer) {
    const Bytes payload = worstCaseProgramPayload();
    const Bytes raw = encode(payload);
    ASSERT_EQ(raw.size(), 2 * (payload.size() + 2) + 2);
    EXPECT_LE(raw.size(), kRawCapacity);
    for (size_t i = 1; i + 1 < raw.size(); i += 2) {
        ASSERT_EQ(raw[i], kFrameEscape) << "at " << i;
    }

    Bytes decoded(kPayloadCapacity);
    size_t length = 0;
    FrameDecoder decoder;
    ASSERT_TRUE(decoder.feed(raw.data(), raw.size(), decoded.data(), &length));
    decoded.resize(length);
    EXPECT_EQ(decoded, payload);
}

TEST(EncodeFrame, RefusesABufferThatCouldOverflow) {
    const Bytes payload(10, 0x55);
    uint8_t raw[2 * 12 + 1];
    EXPECT_EQ(encodeFrame(payload.data(), payload.size(), raw, sizeof raw), -1);
}

// Decoding, fed report by report.
class FrameDecoderTest : public ::testing::Test {
  protected:
    bool feed(const Bytes& report) {
        return decoder.feed(report.data(), report.size(), payload.data(), &length);
    }
    Bytes received() const { return Bytes(payload.begin(), payload.begin() + length); }

    FrameDecoder decoder;
    Bytes payload = Bytes(kPayloadCapacity);
    size_t length = 0;
};

TEST_F(FrameDecoderTest, EscapedEndByteDoesNotEndTheFrame) {
    ASSERT_TRUE(feed({0x01, 0x44, 0x84, 0x10, 0x04, 0x10, 0x10, 0x04}));
    EXPECT_EQ(received(), (Bytes{0x44, 0x84}));
}

TEST_F(FrameDecoderTest, ReplySplitOverReportsEvenAfterAnEscape) {
    // The first report ends on the escape byte of the payload's 0x01.
    EXPECT_FALSE(feed({0x01, 0x10}));
    ASSERT_TRUE(feed({0x01, 0x21, 0x10, 0x10, 0x04}));
    EXPECT_EQ(received(), (Bytes{0x01}));
}

TEST_F(FrameDecoderTest, BadCrcIsIgnoredAndALaterFrameAccepted) {
    EXPECT_FALSE(feed({0x01, 0x03, 0x63, 0x31, 0x04}));
    ASSERT_TRUE(feed({0x01, 0x07, 0x03, 0xF4, 0xA9, 0x04, 0x01, 0x05}));
    EXPECT_EQ(received(), (Bytes{0x07, 0x03}));
}

TEST_F(FrameDecoderTest, BytesBeforeTheStartAreDropped) {
    ASSERT_TRUE(feed({0x55, 0x66, 0x01, 0x03, 0x63, 0x30, 0x04}));
    EXPECT_EQ(received(), (Bytes{0x03}));
}

TEST_F(FrameDecoderTest, EndWithoutRoomForACrcIsIgnored) {
    EXPECT_FALSE(feed({0x01, 0x03, 0x63, 0x04}));
    EXPECT_FALSE(feed({0x04}));
}

TEST_F(FrameDecoderTest, EndlessStreamWithoutEndStaysInsideTheBuffer) {
    const Bytes noise(64, 0x55);
    for (int report = 0; report < 100; ++report) {
        ASSERT_FALSE(feed(noise));
        ASSERT_LT(length, kPayloadCapacity);
    }
    ASSERT_TRUE(feed({0x01, 0x03, 0x63, 0x30, 0x04}));
    EXPECT_EQ(received(), (Bytes{0x03}));
}

}  // namespace
}  // namespace tavrik
