#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "crc16.h"
#include "tavrik_message.h"
#include "tavrik_result.h"

namespace tavrik {
namespace {

TavrikMessage sealedMessage(uint8_t command) {
    TavrikMessage message;
    message.bytes[msg::Command] = command;
    for (size_t i = 4; i < msg::Check; ++i)
        message.bytes[i] = static_cast<uint8_t>(i * 7);
    sealMessage(message);
    return message;
}

// Expects every byte of the message to be zero except the ones listed.
void expectOnlyBytes(const TavrikMessage& message, const std::map<size_t, uint8_t>& expected) {
    for (size_t i = 0; i < kMessageSize; ++i) {
        const auto it = expected.find(i);
        EXPECT_EQ(message.bytes[i], it == expected.end() ? 0 : it->second) << "byte " << i;
    }
}

TEST(MessageTest, SealSetsPreambleAndLowByteOfCrc) {
    TavrikMessage message;
    message.bytes[msg::Command] = CmdStatus;
    sealMessage(message);
    EXPECT_EQ(message.bytes[msg::Preamble], 0xAA);
    EXPECT_EQ(message.bytes[msg::Check], crc16Xmodem(message.bytes, 63) & 0xFF);
    EXPECT_EQ(checkByte(message), message.bytes[msg::Check]);
}

TEST(MessageTest, ValidationOrder) {
    const TavrikMessage good = sealedMessage(CmdStateBasic);
    EXPECT_EQ(validateMessage(good.bytes, 64), Ok);

    for (int length : {-1, 0, 63, 65})
        EXPECT_EQ(validateMessage(good.bytes, length), CommunicationTimeout) << length;
    EXPECT_EQ(validateMessage(nullptr, 64), CommunicationTimeout);

    TavrikMessage badCheck = good;
    badCheck.bytes[msg::Check] ^= 0x01;
    EXPECT_EQ(validateMessage(badCheck.bytes, 64), MessageCrcInvalid);

    TavrikMessage badPayload = good;
    badPayload.bytes[30] ^= 0x80;
    EXPECT_EQ(validateMessage(badPayload.bytes, 64), MessageCrcInvalid);

    // The preamble is judged first: a message with both faults reports the preamble.
    TavrikMessage badPreamble = badCheck;
    badPreamble.bytes[msg::Preamble] = 0xAB;
    EXPECT_EQ(validateMessage(badPreamble.bytes, 64), MessageMissingPreamble);
}

TEST(MessageTest, StatusAndRestartRequests) {
    expectOnlyBytes(statusRequest(ModeRunning, 0x11223344),
                    {{1, 1}, {4, 1}, {32, 1}, {40, 0x44}, {41, 0x33}, {42, 0x22}, {43, 0x11}});
    expectOnlyBytes(statusRequest(ModeOpening, 0), {{1, 1}, {32, 1}});
    expectOnlyBytes(bootloaderRestartRequest(), {{1, 1}, {5, 1}});
}

TEST(MessageTest, ReadAndStateRequests) {
    expectOnlyBytes(infoBlockRequest(0x0166, 45), {{1, 3}, {5, 0x66}, {6, 0x01}, {7, 45}});
    expectOnlyBytes(ioConfigRequest(57), {{1, 5}, {4, 57}});
    expectOnlyBytes(stateRequest(false, ModeRunning), {{1, 2}, {4, 1}});
    TavrikMessage extended = stateRequest(true, ModeOpening);
    setImageOffset(extended, 0x0136);
    expectOnlyBytes(extended, {{1, 6}, {5, 0x36}, {6, 0x01}});
}

TEST(MessageTest, LittleEndianFields) {
    uint8_t buffer[4] = {};
    writeU32(buffer, 0xA1B2C3D4);
    EXPECT_EQ(buffer[0], 0xD4);
    EXPECT_EQ(buffer[3], 0xA1);
    EXPECT_EQ(readU32(buffer), 0xA1B2C3D4u);
    writeU16(buffer, 0xBEEF);
    EXPECT_EQ(buffer[0], 0xEF);
    EXPECT_EQ(buffer[1], 0xBE);
    EXPECT_EQ(readU16(buffer), 0xBEEF);
}

TEST(MessageTest, FieldTextEndsAtNulOrAtFieldEnd) {
    const uint8_t withNul[] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(fieldText(withNul, 4), "ab");
    const uint8_t full[] = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(fieldText(full, 4), "abcd");
    EXPECT_EQ(fieldText(withNul + 2, 2), "");
}

TEST(MessageTest, DecodesStatusReply) {
    TavrikMessage reply;
    // The type text fills its ten bytes without a NUL and runs straight into the version.
    std::memcpy(reply.bytes + 9, "IOM-8R-POE", 10);
    std::memcpy(reply.bytes + 19, "2.7.1", 6);
    writeU32(reply.bytes + 36, 0x80000001u);
    writeU32(reply.bytes + 44, 0xF0000000u);
    reply.bytes[48] = 3;

    const StatusReply status = decodeStatusReply(reply);
    EXPECT_EQ(status.typeText, "IOM-8R-POE");
    EXPECT_EQ(status.firmwareVersion, "2.7.1");
    EXPECT_EQ(status.deviceFlags, static_cast<int32_t>(0x80000001u));
    EXPECT_EQ(status.watchdogTime, 0xF0000000u);
    EXPECT_TRUE(status.watchdogReset);

    std::memset(reply.bytes + 19, 'v', 17);
    reply.bytes[48] = 0;
    const StatusReply unterminated = decodeStatusReply(reply);
    EXPECT_EQ(unterminated.firmwareVersion, std::string(17, 'v'));
    EXPECT_FALSE(unterminated.watchdogReset);
}

class InformationBlockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        block[0] = 0xAA;
        std::memcpy(block + 1, "SN-000417", 10);
        std::memset(block + 65, 'N', 64);  // name fills its field, no NUL
        std::memcpy(block + 129, "rev C", 6);
        seal();
    }
    void seal() { writeU16(block + 145, crc16Arc(block, 145)); }

    uint8_t block[kInfoBlockSize] = {};
};

TEST_F(InformationBlockTest, ValidBlockDecodes) {
    ASSERT_EQ(checkInformationBlock(block), Ok);
    const InformationBlock info = decodeInformationBlock(block);
    EXPECT_EQ(info.serial, "SN-000417");
    EXPECT_EQ(info.name, std::string(64, 'N'));
    EXPECT_EQ(info.hardwareVersion, "rev C");
}

TEST_F(InformationBlockTest, WrongMarkerOrCrcIsFlashError) {
    block[0] = 0xAB;
    seal();  // a correct CRC does not excuse a wrong marker
    EXPECT_EQ(checkInformationBlock(block), FlashError);

    block[0] = 0xAA;
    seal();
    block[100] ^= 0x04;
    EXPECT_EQ(checkInformationBlock(block), FlashError);

    block[100] ^= 0x04;
    block[146] ^= 0x01;
    EXPECT_EQ(checkInformationBlock(block), FlashError);
}

TavrikMessage stateReply(uint8_t countA, uint8_t countB, const std::vector<uint8_t>& bitmap) {
    TavrikMessage reply;
    reply.bytes[msg::CountA] = countA;
    reply.bytes[msg::CountB] = countB;
    std::memcpy(reply.bytes + msg::Direction, bitmap.data(), bitmap.size());
    return reply;
}

TEST(ConfigFallbackTest, DirectionBitmapGivesRelayOutputsAndInputs) {
    uint8_t config[kMaxConfigEntries];
    std::memset(config, 0xEE, sizeof config);
    const size_t n = deriveConfigFromStateReply(stateReply(8, 8, {0x03}), config, sizeof config);
    ASSERT_EQ(n, 16u);
    EXPECT_EQ(config[0], 65);
    EXPECT_EQ(config[1], 1);
    for (size_t k = 2; k < 16; ++k)
        EXPECT_EQ(config[k], 0) << k;
    EXPECT_EQ(config[16], 0xEE);  // nothing beyond the count is touched
}

TEST(ConfigFallbackTest, LaterBitmapBytesAreRead) {
    uint8_t config[kMaxConfigEntries] = {};
    // Point 0 is an input here, so no point is a relay; point 9 is bit 1 of byte 9.
    const size_t n = deriveConfigFromStateReply(stateReply(10, 0, {0x00, 0x02}), config, 128);
    ASSERT_EQ(n, 10u);
    EXPECT_EQ(config[0], 0);
    EXPECT_EQ(config[9], 1);
}

TEST(ConfigFallbackTest, CountIsBoundedByCapacityAndBitmap) {
    const TavrikMessage reply = stateReply(200, 200, std::vector<uint8_t>(27, 0xFF));
    std::vector<uint8_t> config(300, 0xEE);

    EXPECT_EQ(deriveConfigFromStateReply(reply, config.data(), kMaxConfigEntries), 128u);
    EXPECT_EQ(config[127], 1);
    EXPECT_EQ(config[128], 0xEE);

    // With room to spare the bitmap itself is the limit: 27 bytes hold 216 points.
    EXPECT_EQ(deriveConfigFromStateReply(reply, config.data(), config.size()), 216u);
    EXPECT_EQ(config[215], 1);
    EXPECT_EQ(config[216], 0xEE);

    EXPECT_EQ(deriveConfigFromStateReply(stateReply(0, 0, {0xFF}), config.data(), 128), 0u);
}

}  // namespace
}  // namespace tavrik
