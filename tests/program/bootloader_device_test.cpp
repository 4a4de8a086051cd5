#include "bootloader_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "hex_file.h"
#include "hex_text.h"
#include "scratch_dir.h"
#include "scripted_backend.h"

namespace tavrik {
namespace {

using test::Bytes;

class BootloaderDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device.setSerial("B100");
        ASSERT_EQ(device.openBootloader(), BootOk);
    }

    test::ScriptedBackend bus;
    BootloaderDevice device;
};

TEST(BootloaderOpen, TriesEveryBootloaderProductIdWithTheExactSerial) {
    test::ScriptedBackend bus;
    bus.productId = 0xF305;
    BootloaderDevice device;
    device.setSerial("B10");
    EXPECT_EQ(device.openBootloader(), BootDeviceNotFound);
    device.setSerial("B100");
    EXPECT_EQ(device.openBootloader(), BootOk);
    EXPECT_TRUE(device.isOpen());
}

TEST(BootloaderOpen, ApplicationModeModuleIsNotOpened) {
    test::ScriptedBackend bus;
    bus.productId = 0xF713;
    BootloaderDevice device;
    device.setSerial("B100");
    EXPECT_EQ(device.openBootloader(), BootDeviceNotFound);
    EXPECT_FALSE(device.isOpen());
}

TEST(BootloaderCommands, EveryCommandNeedsAnOpenDevice) {
    test::ScriptedBackend bus;
    BootloaderDevice device;
    const std::function<int()> commands[] = {
        [&] {
            std::string v;
            return device.bootInfo(&v);
        },
        [&] { return device.erase(); },
        [&] {
            uint16_t crc;
            return device.readCrc(0, 0, &crc);
        },
        [&] { return device.startApplication(); },
        [&] {
            int type;
            return device.hardwareType(&type);
        },
    };
    for (const auto& command : commands) {
        EXPECT_EQ(command(), BootDeviceNotOpen);
    }
    EXPECT_TRUE(bus.writes.empty());
}

TEST_F(BootloaderDeviceTest, ReadCrcSendsStartAndLengthLittleEndian) {
    bus.queueReply({0x04, 0x34, 0x12});
    uint16_t crc = 0;
    ASSERT_EQ(device.readCrc(0x9D006000, 0x19000, &crc), BootOk);
    EXPECT_EQ(crc, 0x1234);
    ASSERT_EQ(bus.requests.size(), 1u);
    EXPECT_EQ(bus.requests[0], (Bytes{0x04, 0x00, 0x60, 0x00, 0x9D, 0x00, 0x90, 0x01, 0x00}));
    // One 65-byte report: ID 0, the frame, zero padding.
    ASSERT_EQ(bus.writes.size(), 1u);
    const Bytes& report = bus.writes[0];
    ASSERT_EQ(report.size(), 65u);
    EXPECT_EQ(report[0], 0x00);
    EXPECT_EQ(report[1], kFrameStart);
    EXPECT_EQ(report[15], kFrameEnd);  // 9 bytes, one escape, the CRC 0D 63
    for (size_t i = 16; i < report.size(); ++i) {
        EXPECT_EQ(report[i], 0x00) << i;
    }
}

TEST_F(BootloaderDeviceTest, BootInfoAndHardwareTypeDecodeTheirReplies) {
    std::string version;
    ASSERT_EQ(device.bootInfo(&version), BootOk);
    EXPECT_EQ(version, "1.4");
    bus.queueReply({0x07, 0xC8});
    int type = -1;
    ASSERT_EQ(device.hardwareType(&type), BootOk);
    EXPECT_EQ(type, 200);
}

TEST_F(BootloaderDeviceTest, ReplySplitOverTwoReports) {
    // 02, CRC 0x2042 = 42 20, the end byte alone in the second report.
    bus.queueReport({0x01, 0x02, 0x42, 0x20});
    bus.queueReport({0x04});
    EXPECT_EQ(device.erase(), BootOk);
}

struct BadReplyCase {
    const char* name;
    Bytes reply;
    int result;
};

class BadReplyTest : public BootloaderDeviceTest,
                     public ::testing::WithParamInterface<BadReplyCase> {};

TEST_P(BadReplyTest, Erase) {
    bus.queueReply(GetParam().reply);
    EXPECT_EQ(device.erase(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BadReplyTest,
    ::testing::Values(BadReplyCase{"RightCommandWrongLength", {0x02, 0x00}, BootUnexpectedReply},
                      BadReplyCase{"OtherCommandRightLength", {0x05}, BootUnexpectedReply}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BootloaderDeviceTest, BadCrcReplyIsIgnoredUntilTheReadTimesOut) {
    bus.queueReport({0x01, 0x02, 0x42, 0x21, 0x04});
    EXPECT_EQ(device.erase(), BootReadFailed);
}

// A module that never stops sending reports, none of which completes a good reply frame.
struct EndlessCase {
    const char* name;
    Bytes report;
    int intervalMs;  // between two reports
};

class EndlessReportsTest : public BootloaderDeviceTest,
                           public ::testing::WithParamInterface<EndlessCase> {
  protected:
    void SetUp() override {
        BootloaderDeviceTest::SetUp();
        bus.endlessReport = GetParam().report;
        bus.reportIntervalMs = GetParam().intervalMs;
        device.setClock(bus.clock());
    }

    // Runs the command and checks that it gave up once its reply time-out had passed in all.
    void expectTimeOutWithin(const std::function<int()>& command, int timeoutMs) {
        const test::ScriptedBackend::Clock::time_point start = bus.now;
        const int readsBefore = bus.reads;
        bus.longestReadMs = 0;
        EXPECT_EQ(command(), BootReadFailed);
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(bus.now - start).count();
        EXPECT_LE(waited, timeoutMs);
        EXPECT_LE(bus.reads - readsBefore, timeoutMs / GetParam().intervalMs + 1);
        EXPECT_LE(bus.longestReadMs, timeoutMs);
    }
};

TEST_P(EndlessReportsTest, ReplyWaitEndsAtTheCommandsTimeOut) {
    expectTimeOutWithin([this] { return device.erase(); }, kBootLongTimeoutMs);
    expectTimeOutWithin(
        [this] {
            uint16_t crc = 0;
            return device.readCrc(kImageBase, 4, &crc);
        },
        kBootShortTimeoutMs);
    // The device stays usable: a good reply after the noise is taken.
    bus.endlessReport.clear();
    bus.reportIntervalMs = 0;
    bus.queueReply({0x07, 0x03});
    int type = 0;
    EXPECT_EQ(device.hardwareType(&type), BootOk);
    EXPECT_EQ(type, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, EndlessReportsTest,
    ::testing::Values(EndlessCase{"Noise", Bytes(64, 0x55), 1},
                      // Erase's acknowledgement with the CRC's last byte wrong.
                      EndlessCase{"BadCrcFrames", {0x01, 0x02, 0x42, 0x21, 0x04}, 1},
                      EndlessCase{"FrameStartsOnly", {0x01, 0x02, 0x42}, 1},
                      // Reports that come just inside each read's time-out.
                      EndlessCase{"SlowBadCrcFrames", {0x01, 0x02, 0x42, 0x21, 0x04}, 1999},
                      EndlessCase{"EscapePairs", Bytes(64, kFrameEscape), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BootloaderDeviceTest, FailedWriteIsReported) {
    bus.failWrites = true;
    EXPECT_EQ(device.erase(), BootWriteFailed);
}

TEST_F(BootloaderDeviceTest, StartApplicationSuccessClosesTheDevice) {
    bus.queueReply({0x05});
    ASSERT_EQ(device.startApplication(), BootOk);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(bus.isOpen());
    EXPECT_EQ(device.erase(), BootDeviceNotOpen);
}

TEST_F(BootloaderDeviceTest, FailedStartApplicationKeepsTheDeviceOpen) {
    EXPECT_EQ(device.startApplication(), BootReadFailed);
    EXPECT_TRUE(device.isOpen());
}

TEST(EnterBootloader, SendsOneRestartRequestToTheApplication) {
    test::ScriptedBackend bus;
    bus.productId = 0xF2F1;
    bus.bootloaderProductId = 0xF2F0;
    BootloaderDevice device;
    device.setSerial("B100");
    device.enterBootloader();
    ASSERT_EQ(bus.writes.size(), 1u);
    const Bytes& report = bus.writes[0];
    ASSERT_EQ(report.size(), 65u);
    Bytes expected(65, 0);
    expected[1] = 0xAA;
    expected[2] = 0x01;
    expected[6] = 0x01;
    expected[64] = report[64];  // the check byte, covered by the message tests
    EXPECT_EQ(report, expected);
    EXPECT_FALSE(bus.isOpen());
    EXPECT_EQ(bus.productId, 0xF2F0);
}

TEST(EnterBootloader, SendsNothingWithoutAMatchingApplication) {
    test::ScriptedBackend bus;  // already in the bootloader
    BootloaderDevice device;
    device.setSerial("B100");
    device.enterBootloader();
    bus.productId = 0xF713;
    device.setSerial("OTHER");
    device.enterBootloader();
    EXPECT_TRUE(bus.writes.empty());
}

// Programming: frames of whole records, acknowledged one by one.
class ProgramTest : public BootloaderDeviceTest {
  protected:
    static void recordProgress(int percent) { progress.push_back(percent); }

    // Acknowledges each Program frame as it would arrive.
    void acknowledge(size_t frames) {
        for (size_t i = 0; i < frames; ++i) {
            bus.queueReply({0x03});
        }
    }

    // Sizes of the records in byte form, in frame order, per Program frame.
    static std::vector<size_t> frameLengths(const std::vector<Bytes>& requests) {
        std::vector<size_t> lengths;
        for (const Bytes& r : requests) {
            EXPECT_EQ(r.at(0), 0x03);
            lengths.push_back(r.size());
        }
        return lengths;
    }

    static std::vector<int> progress;
    test::ScratchDir dir;
};

std::vector<int> ProgramTest::progress;

// A data record of n bytes in byte form (n - 5 data bytes).
std::string dataRecordOfSize(size_t n, uint16_t address, uint8_t fill) {
    return test::hexRecord(0x00, address, Bytes(n - 5, fill));
}

TEST_F(ProgramTest, FramesHoldWholeRecordsUpToTheFillMark) {
    std::string text = test::imageBaseRecord();  // 7 bytes
    for (int i = 0; i < 20; ++i) {
        text += dataRecordOfSize(37, static_cast<uint16_t>(0x6000 + 32 * i), 0xA5);
    }
    text += test::endOfFileRecord();  // 5 bytes
    const std::string file = dir.file("image.hex", text);
    progress.clear();
    device.setProgressCallback(recordProgress);
    acknowledge(2);
    ASSERT_EQ(device.program(file), BootOk);
    // 1 + 7 + 14 * 37 = 526 closes the first frame; the rest and the end record follow.
    EXPECT_EQ(frameLengths(bus.requests), (std::vector<size_t>{526, 1 + 6 * 37 + 5}));
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_LT(progress[0], 100);
    EXPECT_EQ(progress[1], 100);
}

TEST_F(ProgramTest, FrameClosedAtTheLastRecordIsFollowedByAnEmptyOne) {
    std::string text = test::imageBaseRecord();
    for (int i = 0; i < 13; ++i) {
        text += dataRecordOfSize(37, static_cast<uint16_t>(0x6000 + 32 * i), 0x11);
    }
    text += dataRecordOfSize(10, 0x7000, 0x22);  // 1 + 7 + 13 * 37 + 10 = 499
    text += dataRecordOfSize(6, 0x7010, 0x33);   // 505: the file's last record
    const std::string file = dir.file("image.hex", text);
    acknowledge(2);
    ASSERT_EQ(device.program(file), BootOk);
    EXPECT_EQ(frameLengths(bus.requests), (std::vector<size_t>{505, 1}));
}

TEST_F(ProgramTest, LargestFrameOfAValidFileIsSentIntact) {
    // Maximum-length lines of 127 bytes and one of 117: 1 + 3 * 127 + 117 = 499, then one
    // more full record makes 626 payload bytes.
    std::string text;
    for (int i = 0; i < 3; ++i) {
        text += dataRecordOfSize(127, static_cast<uint16_t>(0x6000 + 0x80 * i), 0x10);
    }
    text += dataRecordOfSize(117, 0x6200, 0x04);
    text += dataRecordOfSize(127, 0x6300, 0x01);
    text += test::endOfFileRecord();
    const std::string file = dir.file("image.hex", text);
    acknowledge(2);
    ASSERT_EQ(device.program(file), BootOk);
    ASSERT_EQ(bus.requests.size(), 2u);
    EXPECT_EQ(bus.requests[0].size(), 626u);
    EXPECT_EQ(bus.requests[0][1 + 3 * 127 + 117 + 5], 0x01);
    // More than 64 bytes go out as several reports, each behind report ID 0.
    EXPECT_GT(bus.writes.size(), 10u);
    for (const Bytes& report : bus.writes) {
        EXPECT_EQ(report.size(), 65u);
        EXPECT_EQ(report[0], 0x00);
    }
}

TEST_F(ProgramTest, UnacknowledgedFrameStopsProgramming) {
    std::string text = test::imageBaseRecord();
    for (int i = 0; i < 30; ++i) {
        text += dataRecordOfSize(37, static_cast<uint16_t>(0x6000 + 32 * i), 0x5A);
    }
    text += test::endOfFileRecord();
    const std::string file = dir.file("image.hex", text);
    bus.queueReply({0x02});  // wrong command
    EXPECT_EQ(device.program(file), BootUnexpectedReply);
    EXPECT_EQ(bus.requests.size(), 1u);
}

TEST_F(ProgramTest, RecordThatNoLongerReadsStopsBeforeSending) {
    const std::string file = dir.file(
        "image.hex", test::imageBaseRecord() + ":00000001FE\n" + ":ZZ\n" + test::endOfFileRecord());
    EXPECT_EQ(device.program(file), BootInvalidHexFile);
    EXPECT_TRUE(bus.requests.empty());
}

}  // namespace
}  // namespace tavrik
