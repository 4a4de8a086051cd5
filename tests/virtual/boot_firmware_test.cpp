// The bootloader side: frames, commands, record placement and faults.
#include <gtest/gtest.h>

#include "boot_frame.h"
#include "virtual_test_util.h"

namespace tavrik::virt {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(BootFrame, EscapesMarkerBytesInPayloadAndCrc) {
    const Bytes payload = {0x01, 0x04, 0x10, 0x20};
    const Bytes raw = encodeFrame(payload);
    const uint16_t crc = crc16Xmodem(payload.data(), payload.size());
    Bytes expected = {0x01, 0x10, 0x01, 0x10, 0x04, 0x10, 0x10, 0x20};
    for (uint8_t b : {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}) {
        if (b == 0x01 || b == 0x04 || b == 0x10) {
            expected.push_back(0x10);
        }
        expected.push_back(b);
    }
    expected.push_back(0x04);
    EXPECT_EQ(raw, expected);
}

TEST(BootFrame, RoundTripsEveryByteValue) {
    Bytes payload;
    for (int i = 0; i < 256; ++i) {
        payload.push_back(static_cast<uint8_t>(i));
    }
    FrameDecoder decoder;
    int frames = 0;
    for (uint8_t b : encodeFrame(payload)) {
        frames += decoder.feed(b) ? 1 : 0;
    }
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(decoder.payload(), payload);
}

TEST(BootFrame, DropsBadCrcAndSkipsBytesBetweenFrames) {
    Bytes bad = encodeFrame({0x07}, 0x0001);
    const Bytes good = encodeFrame({0x02});
    Bytes stream = {0x00, 0x55, 0x04, 0x00};  // padding and noise before any start byte
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.insert(stream.end(), {0x00, 0x00});
    stream.insert(stream.end(), good.begin(), good.end());
    FrameDecoder decoder;
    std::vector<Bytes> frames;
    for (uint8_t b : stream) {
        if (decoder.feed(b)) {
            frames.push_back(decoder.payload());
        }
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Bytes{0x02});
    EXPECT_EQ(decoder.droppedFrames(), 1u);
}

TEST(BootFrame, RestartsOnAnUnescapedStartByte) {
    Bytes stream = {0x01, 0x33, 0x44};
    const Bytes good = encodeFrame({0x05});
    stream.insert(stream.end(), good.begin(), good.end());
    FrameDecoder decoder;
    int frames = 0;
    for (uint8_t b : stream) {
        frames += decoder.feed(b) ? 1 : 0;
    }
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(decoder.payload(), Bytes{0x05});
}

// Intel HEX record in byte form, checksum included.
Bytes record(uint8_t type, uint16_t address, const Bytes& data) {
    Bytes r = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
               static_cast<uint8_t>(address & 0xFF), type};
    r.insert(r.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : r) {
        sum += b;
    }
    r.push_back(static_cast<uint8_t>(-sum));
    return r;
}

Bytes programFrame(const std::vector<Bytes>& records) {
    Bytes payload = {0x03};
    for (const Bytes& r : records) {
        payload.insert(payload.end(), r.begin(), r.end());
    }
    return payload;
}

Bytes readCrcFrame(uint32_t start, uint32_t length) {
    Bytes payload = {0x04};
    for (uint32_t v : {start, length}) {
        for (int i = 0; i < 4; ++i) {
            payload.push_back((v >> (8 * i)) & 0xFF);
        }
    }
    return payload;
}

class BootModuleTest : public ::testing::Test {
  protected:
    BootModuleTest() : module(bootConfig()) {}

    static ModuleConfig bootConfig() {
        ModuleConfig config;
        config.usbSerial = "A100";
        config.startInBootloader = true;
        config.hardwareType = 7;
        config.bootVersionMajor = 1;
        config.bootVersionMinor = 4;
        return config;
    }

    // Sends one frame as the host does, in 64-byte reports, and decodes every reply frame.
    std::vector<Bytes> transact(const Bytes& payload) {
        const Bytes raw = encodeFrame(payload);
        for (size_t at = 0; at < raw.size(); at += kMessageSize) {
            uint8_t report[kMessageSize] = {};
            std::copy_n(raw.begin() + at, std::min(kMessageSize, raw.size() - at), report);
            module.receive(report, sizeof report, 0);
        }
        std::vector<Bytes> replies;
        reports = module.output().size();
        FrameDecoder decoder;
        for (const InputReport& report : module.output()) {
            for (uint8_t b : report.bytes) {
                if (decoder.feed(b)) {
                    replies.push_back(decoder.payload());
                }
            }
        }
        module.output().clear();
        return replies;
    }

    Bytes only(const Bytes& payload) {
        const std::vector<Bytes> replies = transact(payload);
        EXPECT_EQ(replies.size(), 1u);
        return replies.empty() ? Bytes{} : replies[0];
    }

    uint16_t moduleCrc(uint32_t start, uint32_t length) {
        const Bytes reply = only(readCrcFrame(start, length));
        EXPECT_EQ(reply.size(), 3u);
        return reply.size() == 3 ? reply[1] | (reply[2] << 8) : 0;
    }

    VirtualModule module;
    size_t reports = 0;  // sent in answer to the last transaction
};

TEST_F(BootModuleTest, AnswersInfoHardwareTypeAndErase) {
    EXPECT_EQ(module.productId(), 0xF65D);
    EXPECT_EQ(only({0x01}), (Bytes{0x01, 1, 4}));
    EXPECT_EQ(only({0x07}), (Bytes{0x07, 7}));
    only(programFrame({record(4, 0, {0x1D, 0x00}), record(0, 0x6000, {0x12})}));
    ASSERT_EQ(module.flash()[0], 0x12);
    EXPECT_EQ(only({0x02}), Bytes{0x02});
    EXPECT_TRUE(std::all_of(module.flash().begin(), module.flash().end(),
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(transact({0x06}).empty()) << "unknown commands get no answer";
    EXPECT_EQ(module.bootRequests().size(), 5u);
    EXPECT_EQ(module.bootRequests()[1], Bytes{0x07});
}

TEST_F(BootModuleTest, PlacesRecordsByTheirAddressOffsets) {
    EXPECT_EQ(only(programFrame({record(4, 0, {0x1D, 0x00}), record(0, 0x6010, {0xAA, 0xBB})})),
              Bytes{0x03});
    // The linear offset carries into the next frame.
    only(programFrame({record(0, 0x6020, {0xCC})}));
    // An extended segment address cannot reach the window: the data falls outside it.
    only(programFrame({record(2, 0, {0x9D, 0x06}), record(0, 0x0030, {0xDD})}));
    // The window's last two bytes take the first half of a record that runs past its end.
    only(programFrame({record(4, 0, {0x9D, 0x02}), record(0, 0x5FFE, {1, 2, 3, 4})}));
    // Any other record type drops both offsets.
    only(programFrame({record(4, 0, {0x9D, 0x00}), record(1, 0, {}), record(0, 0x6040, {0xEE})}));
    // A record with a bad checksum is skipped, the next one still placed.
    Bytes broken = record(0, 0x6050, {0x99});
    broken.back() ^= 1;
    only(programFrame({record(4, 0, {0x1D, 0x00}), broken, record(0, 0x6051, {0x77})}));

    Bytes expected(kFlashSize, 0xFF);
    expected[0x10] = 0xAA;
    expected[0x11] = 0xBB;
    expected[0x20] = 0xCC;
    expected[0x1FFFE] = 1;
    expected[0x1FFFF] = 2;
    expected[0x51] = 0x77;
    EXPECT_EQ(module.flash(), expected);
    EXPECT_EQ(module.programmedStart(), 0x9D006010u);
    EXPECT_EQ(module.programmedEnd(), 0x9D026000u);
}

TEST_F(BootModuleTest, RecordCutShortEndsTheFrame) {
    Bytes payload = programFrame({record(4, 0, {0x1D, 0x00}), record(0, 0x6000, {1, 2})});
    payload.push_back(0x08);  // announces 8 data bytes that never come
    payload.push_back(0x60);
    EXPECT_EQ(only(payload), Bytes{0x03});
    EXPECT_EQ(module.flash()[0], 1);
    EXPECT_EQ(module.flash()[2], 0xFF);
}

TEST_F(BootModuleTest, ReadsTheCrcOfAFlashRange) {
    only(programFrame({record(4, 0, {0x1D, 0x00}), record(0, 0x6000, {0x10, 0x04, 0x01, 0x55})}));
    EXPECT_EQ(moduleCrc(0x9D006000, 4), crc16Xmodem(module.flash().data(), 4));
    EXPECT_EQ(moduleCrc(0x9D006000, 0x19000), crc16Xmodem(module.flash().data(), 0x19000));
    EXPECT_EQ(moduleCrc(0x9D006002, 0), 0);
    EXPECT_EQ(moduleCrc(0x9D005FFE, 4), crc16Xmodem(module.flash().data(), 2))
        << "only the part inside the window counts";
    EXPECT_EQ(moduleCrc(0x9D026000, 16), 0);
    EXPECT_TRUE(transact({0x04, 0x00}).empty()) << "a short request is not answered";
}

TEST_F(BootModuleTest, StartApplicationAnswersThenRestarts) {
    EXPECT_EQ(only({0x05}), Bytes{0x05});
    EXPECT_FALSE(module.inBootloader());
    EXPECT_TRUE(module.takeRestart());
    EXPECT_EQ(module.productId(), 0xF713);
}

TEST_F(BootModuleTest, IgnoresFramesWithABadCrc) {
    const Bytes raw = encodeFrame({0x01}, 0x0100);
    uint8_t report[kMessageSize] = {};
    std::copy(raw.begin(), raw.end(), report);
    module.receive(report, sizeof report, 0);
    EXPECT_TRUE(module.output().empty());
    EXPECT_TRUE(module.bootRequests().empty());
}

TEST_F(BootModuleTest, EscapeAtTheEndOfAReportCarriesIntoTheNext) {
    Bytes payload(62, 0x20);
    payload[0] = 0x03;
    payload.push_back(0x04);  // its escape byte is the 64th byte of the first report
    ASSERT_EQ(encodeFrame(payload)[63], 0x10);
    EXPECT_EQ(only(payload), Bytes{0x03});
    EXPECT_EQ(module.bootRequests().back(), payload);
}

TEST_F(BootModuleTest, LongRequestFramesSpanReports) {
    const Bytes big = programFrame(std::vector<Bytes>(40, record(0, 0x1010, {1, 4, 16})));
    ASSERT_GT(encodeFrame(big).size(), 2 * kMessageSize);
    EXPECT_EQ(only(big), Bytes{0x03});
    EXPECT_EQ(module.bootRequests().back(), big);
}

struct BootFaultCase {
    const char* name;
    Fault::Kind kind;
    size_t reports;  // sent in answer to the spoiled command
    size_t replies;  // of them decodable
    size_t length;
};

class BootFaultTest : public BootModuleTest, public ::testing::WithParamInterface<BootFaultCase> {};

TEST_P(BootFaultTest, SpoilsTheNamedCommandOnce) {
    Fault fault;
    fault.kind = GetParam().kind;
    fault.bootCommand = 0x07;
    module.injectFault(fault);
    EXPECT_EQ(only({0x01}).size(), 3u) << "other commands unaffected";
    const std::vector<Bytes> spoiled = transact({0x07});
    EXPECT_EQ(reports, GetParam().reports);
    ASSERT_EQ(spoiled.size(), GetParam().replies);
    if (!spoiled.empty()) {
        EXPECT_EQ(spoiled[0].size(), GetParam().length);
    }
    EXPECT_EQ(only({0x07}), (Bytes{0x07, 7}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BootFaultTest,
                         ::testing::Values(BootFaultCase{"NoAnswer", Fault::BootNoAnswer, 0, 0, 0},
                                           BootFaultCase{"WrongLength", Fault::BootWrongLength, 1,
                                                         1, 3},
                                           BootFaultCase{"BadCrc", Fault::BootBadCrc, 1, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BootModuleTest, StuckByteSpoilsVerification) {
    Fault fault;
    fault.kind = Fault::FlashStuckByte;
    module.injectFault(fault);
    const Bytes data = {0x11, 0x22, 0x33, 0x44};
    only(programFrame({record(4, 0, {0x1D, 0x00}), record(0, 0x6100, data)}));
    EXPECT_NE(module.flash()[0x100], 0x11);
    EXPECT_EQ(module.flash()[0x101], 0x22);
    EXPECT_NE(moduleCrc(0x9D006100, 4), crc16Xmodem(data.data(), data.size()));
    only({0x02});
    only(programFrame({record(4, 0, {0x1D, 0x00}), record(0, 0x6100, data)}));
    EXPECT_NE(module.flash()[0x100], 0x11) << "stuck for good";
}

TEST_F(BootModuleTest, UnplugsInTheMiddleOfProgramming) {
    Fault fault;
    fault.kind = Fault::UnplugAfterProgramFrames;
    fault.count = 2;
    module.injectFault(fault);
    const Bytes frame = programFrame({record(4, 0, {0x1D, 0x00}), record(0, 0x6000, {1})});
    EXPECT_EQ(transact(frame).size(), 1u);
    EXPECT_EQ(only({0x01}).size(), 3u) << "only Program frames count";
    EXPECT_EQ(transact(frame).size(), 1u);
    EXPECT_FALSE(module.takeUnplug());
    EXPECT_TRUE(transact(frame).empty());
    EXPECT_TRUE(module.takeUnplug());
}

TEST(BootRoundTrip, ApplicationToBootloaderAndBack) {
    ModuleConfig config;
    config.ioConfig = {1};
    VirtualModule module(config);
    module.setPoint(1, 0, 1);
    TavrikMessage restart = test::request(CmdStatus);
    restart.bytes[5] = 1;
    test::exchange(module, restart);
    ASSERT_TRUE(module.inBootloader());
    ASSERT_TRUE(module.takeRestart());
    module.sendStateEvent();
    EXPECT_TRUE(module.output().empty()) << "no application messages from the bootloader";
    const Bytes start = encodeFrame({0x05});
    module.receive(start.data(), start.size(), 0);
    EXPECT_FALSE(module.inBootloader());
    EXPECT_TRUE(module.takeRestart());
    EXPECT_EQ(module.point(1, 0), 0) << "a restart resets the outputs";
}

}  // namespace
}  // namespace tavrik::virt
