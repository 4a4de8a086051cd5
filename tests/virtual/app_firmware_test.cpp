// The application firmware answering the host's commands, checked byte by byte.
#include <gtest/gtest.h>

#include "virtual_test_util.h"

namespace tavrik::virt {
namespace {

using test::exchange;
using test::request;
using test::text;
using test::wellFormed;

ModuleConfig basicModule() {
    ModuleConfig config;
    config.usbSerial = "A100";
    config.typeText = "TIO-8";
    config.firmwareVersion = "2.1.0";
    config.infoSerial = "A100";
    config.infoName = "Rack 1";
    config.hardwareVersion = "B";
    config.ioConfig = {0, 0, 1, 65, 8, 0};
    return config;
}

TavrikMessage onlyReply(VirtualModule& module, const TavrikMessage& m, int64_t nowMs = 0) {
    const std::vector<TavrikMessage> out = exchange(module, m, nowMs);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? TavrikMessage{} : out.front();
}

TEST(AppStatus, ReportsIdentityFlagsAndWatchdog) {
    ModuleConfig config = basicModule();
    config.typeText = "TIO-16POE+";  // exactly fills its field
    config.deviceFlags = 0x11;
    config.watchdogTime = 0x64000001;
    config.watchdogReset = true;
    VirtualModule module(config);
    const TavrikMessage reply = onlyReply(module, request(CmdStatus));
    EXPECT_TRUE(wellFormed(reply));
    EXPECT_EQ(reply.bytes[1], CmdStatus);
    EXPECT_EQ(reply.bytes[2], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.bytes + 9), 10), "TIO-16POE+");
    EXPECT_EQ(text(reply.bytes + 19, 17), "2.1.0");
    EXPECT_EQ(test::readU32Le(reply.bytes + 36), 0x11u);
    EXPECT_EQ(test::readU32Le(reply.bytes + 44), 0x64000001u);
    EXPECT_EQ(reply.bytes[48], 1);
}

TEST(AppStatus, RestartRequestLeavesForTheBootloaderWithoutAnswer) {
    VirtualModule module(basicModule());
    module.sendErrorEvent(-9);  // unsent when the reset comes
    TavrikMessage restart = request(CmdStatus);
    restart.bytes[5] = 1;
    test::seal(restart);
    module.receive(restart.bytes, kMessageSize, 0);
    EXPECT_TRUE(module.output().empty());
    EXPECT_TRUE(module.inBootloader());
    EXPECT_EQ(module.productId(), 0xF65D);
    EXPECT_TRUE(module.takeRestart());
    EXPECT_FALSE(module.takeRestart());
}

// The host's three chunks: (0, 51), (51, 51), (102, 45).
void readBlock(VirtualModule& module, uint8_t* block) {
    for (size_t offset : {0, 51, 102}) {
        TavrikMessage m = request(CmdReadInfoBlock);
        const size_t length = std::min<size_t>(51, kInfoBlockSize - offset);
        m.bytes[5] = offset & 0xFF;
        m.bytes[6] = offset >> 8;
        m.bytes[7] = static_cast<uint8_t>(length);
        const TavrikMessage reply = onlyReply(module, m);
        ASSERT_EQ(reply.bytes[2], 0);
        std::memcpy(block + offset, reply.bytes + 12, length);
    }
}

TEST(AppInfoBlock, ThreeChunksMakeAValidBlock) {
    ModuleConfig config = basicModule();
    config.infoName = std::string(70, 'n');  // longer than its field: cut at 64
    VirtualModule module(config);
    uint8_t block[kInfoBlockSize] = {};
    readBlock(module, block);
    EXPECT_EQ(block[0], 0xAA);
    EXPECT_EQ(text(block + 1, 64), "A100");
    EXPECT_EQ(text(block + 65, 64), std::string(64, 'n'));
    EXPECT_EQ(text(block + 129, 16), "B");
    EXPECT_EQ(crc16Arc(block, 145), block[145] | (block[146] << 8));
}

TEST(AppInfoBlock, DamagedBlockFailsItsCrc) {
    ModuleConfig config = basicModule();
    config.infoDamaged = true;
    VirtualModule module(config);
    uint8_t block[kInfoBlockSize] = {};
    readBlock(module, block);
    EXPECT_EQ(block[0], 0xAA);
    EXPECT_EQ(text(block + 1, 64), "A100");
    EXPECT_NE(crc16Arc(block, 145), block[145] | (block[146] << 8));
}

TEST(AppInfoBlock, ReadsOutsideTheBlockAreRefused) {
    VirtualModule module(basicModule());
    for (auto [offset, length] : {std::pair{0, 52}, {100, 48}, {147, 1}, {300, 0}}) {
        TavrikMessage m = request(CmdReadInfoBlock);
        m.bytes[5] = offset & 0xFF;
        m.bytes[6] = offset >> 8;
        m.bytes[7] = static_cast<uint8_t>(length);
        EXPECT_EQ(static_cast<int8_t>(onlyReply(module, m).bytes[2]), -11)
            << offset << "+" << length;
    }
}

TEST(AppIoConfig, EntriesFromTheRequestedOffset) {
    ModuleConfig config = basicModule();
    config.ioConfig.assign(100, 0);
    for (size_t i = 0; i < 100; ++i) {
        config.ioConfig[i] = static_cast<uint8_t>(i);
    }
    VirtualModule module(config);
    TavrikMessage first = onlyReply(module, request(CmdReadIoConfig, 0));
    EXPECT_EQ(first.bytes[5], 100);
    for (size_t i = 0; i < 57; ++i) {
        EXPECT_EQ(first.bytes[6 + i], i);
    }
    TavrikMessage second = onlyReply(module, request(CmdReadIoConfig, 57));
    EXPECT_EQ(second.bytes[5], 100);
    for (size_t i = 0; i < 43; ++i) {
        EXPECT_EQ(second.bytes[6 + i], 57 + i);
    }
    EXPECT_EQ(second.bytes[6 + 43], 0);  // past the end
    EXPECT_EQ(onlyReply(module, request(CmdReadIoConfig, 200)).bytes[6], 0);
}

TEST(AppIoConfig, ModuleWithoutTheCommandStaysSilent) {
    ModuleConfig config = basicModule();
    config.answersConfigCommand = false;
    VirtualModule module(config);
    EXPECT_TRUE(exchange(module, request(CmdReadIoConfig)).empty());
    EXPECT_EQ(module.requestCount(CmdReadIoConfig), 1u);
}

TEST(AppBasicState, CountsDirectionAndDefaultImage) {
    VirtualModule module(basicModule());
    const TavrikMessage reply = onlyReply(module, request(CmdStateBasic, 0));
    EXPECT_TRUE(wellFormed(reply));
    EXPECT_EQ(reply.bytes[5] + reply.bytes[6], 6);
    EXPECT_EQ(reply.bytes[6], 2);
    EXPECT_EQ(reply.bytes[8], 0x0C);  // entries 2 and 3 are outputs
    for (size_t i = 9; i < 35; ++i) {
        EXPECT_EQ(reply.bytes[i], 0) << i;
    }
    // One-bit points idle at wire 1 (the host reads 0), poe_status at 0.
    const uint8_t image[] = {0x0F, 0x00, 0x00, 0x01};
    EXPECT_EQ(std::memcmp(reply.bytes + 35, image, sizeof image), 0);
    EXPECT_EQ(reply.bytes[39], 0);
}

TEST(AppBasicState, TakesWritablePointsOnlyInMode1) {
    ModuleConfig config = basicModule();
    config.initialValues = {{8, 0, 0x0203}};
    VirtualModule module(config);
    TavrikMessage m = request(CmdStateBasic, 0);
    std::memset(m.bytes + 35, 0, 27);  // the host's image: every bit 0
    onlyReply(module, m);
    EXPECT_EQ(module.point(1, 0), 0) << "opening exchange must not change outputs";
    m.bytes[4] = 1;
    const TavrikMessage reply = onlyReply(module, m);
    EXPECT_EQ(module.point(1, 0), 1);
    EXPECT_EQ(module.point(1, 1), 1);
    EXPECT_EQ(module.point(0, 0), 0) << "inputs stay the module's";
    EXPECT_EQ(module.point(8, 0), 0x0203);
    EXPECT_EQ(reply.bytes[35], 0x03);  // reply carries the updated image
    EXPECT_EQ(reply.bytes[36], 0x03);
}

// 27 poe_voltage words, an input at byte 54, poe_maxpower at bytes 55 and 56.
ModuleConfig extendedModule() {
    ModuleConfig config = basicModule();
    config.deviceFlags = kFlagExtendedLayout;
    config.ioConfig.assign(27, 9);
    config.ioConfig.push_back(0);
    config.ioConfig.push_back(12);
    return config;
}

TavrikMessage extendedRequest(uint8_t mode, uint16_t offset, const std::vector<uint8_t>& chunk) {
    TavrikMessage m = request(CmdStateExtended, mode);
    m.bytes[5] = offset & 0xFF;
    m.bytes[6] = offset >> 8;
    std::copy(chunk.begin(), chunk.end(), m.bytes + 7);
    return m;
}

TEST(AppExtendedState, WordStraddlingTheChunkIsTakenFromTheNextChunk) {
    ModuleConfig config = extendedModule();
    config.initialValues = {{9, 26, 0x0605}};
    VirtualModule module(config);
    ASSERT_EQ(module.imageLength(), 57u);
    std::vector<uint8_t> chunk(56, 0xEE);
    onlyReply(module, extendedRequest(1, 0, chunk));
    EXPECT_EQ(module.point(12, 0), 0) << "word at byte 55 is cut by the chunk end";
    EXPECT_EQ(module.point(9, 0), 0) << "measured points are the module's";
    const TavrikMessage reply = onlyReply(module, extendedRequest(1, 54, {0x00, 0x34, 0x12}));
    EXPECT_EQ(module.point(12, 0), 0x1234);
    EXPECT_EQ(module.point(0, 0), 0);
    EXPECT_EQ(reply.bytes[5], 54);
    EXPECT_EQ(reply.bytes[7], 0x01);  // the input, still idle
    EXPECT_EQ(reply.bytes[8], 0x34);
    EXPECT_EQ(reply.bytes[9], 0x12);
    EXPECT_EQ(reply.bytes[10], 0x00);  // beyond the image
    const TavrikMessage first = onlyReply(module, extendedRequest(0, 52, {}));
    EXPECT_EQ(first.bytes[7], 0x05);
    EXPECT_EQ(first.bytes[8], 0x06);
}

TEST(AppRequests, UnknownCommandIsInvalid) {
    VirtualModule module(basicModule());
    EXPECT_EQ(static_cast<int8_t>(onlyReply(module, request(9)).bytes[2]), -8);
    EXPECT_EQ(static_cast<int8_t>(onlyReply(module, request(CmdStateEventBasic)).bytes[2]), -8);
}

TEST(AppRequests, CorruptRequestsAreAnsweredWithTheirFault) {
    VirtualModule module(basicModule());
    TavrikMessage m = request(CmdStatus);
    test::seal(m);
    m.bytes[63] ^= 1;
    module.receive(m.bytes, kMessageSize, 0);
    m.bytes[0] = 0x55;
    module.receive(m.bytes, kMessageSize, 0);
    ASSERT_EQ(module.output().size(), 2u);
    EXPECT_EQ(static_cast<int8_t>(module.output()[0].bytes[2]), -6);
    EXPECT_EQ(static_cast<int8_t>(module.output()[1].bytes[2]), -3);
    EXPECT_EQ(module.requests().size(), 2u) << "recorded as they came";
}

struct FaultCase {
    const char* name;
    Fault::Kind kind;
    bool replies;
    bool late;
    bool goodPreamble;
    bool goodCheck;
    int status;
};

class AppFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(AppFaultTest, AppliesToMatchingRequestsForItsCount) {
    const FaultCase& c = GetParam();
    VirtualModule module(basicModule());
    Fault fault;
    fault.kind = c.kind;
    fault.count = 2;
    fault.command = CmdStateBasic;
    fault.status = -9;
    module.injectFault(fault);
    EXPECT_EQ(exchange(module, request(CmdStatus)).size(), 1u) << "other commands unaffected";
    for (int i = 0; i < 3; ++i) {
        TavrikMessage m = request(CmdStateBasic);
        test::seal(m);
        module.receive(m.bytes, kMessageSize, 0);
        const bool faulty = i < 2;
        if (faulty && !c.replies) {
            EXPECT_TRUE(module.output().empty());
            continue;
        }
        ASSERT_EQ(module.output().size(), 1u);
        const InputReport report = module.output().front();
        module.output().clear();
        const TavrikMessage reply = test::toMessage(report);
        EXPECT_EQ(report.late, faulty && c.late);
        EXPECT_EQ(reply.bytes[0] == kPreamble, !faulty || c.goodPreamble);
        EXPECT_EQ(reply.bytes[63] == test::checkOf(reply.bytes), !faulty || c.goodCheck);
        EXPECT_EQ(static_cast<int8_t>(reply.bytes[2]), faulty ? c.status : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AppFaultTest,
    ::testing::Values(FaultCase{"NoReply", Fault::NoReply, false, false, true, true, 0},
                      FaultCase{"LateReply", Fault::LateReply, true, true, true, true, 0},
                      FaultCase{"BadPreamble", Fault::BadPreamble, true, false, false, true, 0},
                      FaultCase{"BadCheck", Fault::BadCheck, true, false, true, false, 0},
                      FaultCase{"Status", Fault::Status, true, false, true, true, -9}),
    [](const auto& info) { return std::string(info.param.name); });

// A fault on the host's writes lets the polls through, so a test can stall the one exchange
// that carries a new value.
TEST(AppFaultWrites, TakesOnlyRequestsThatChangeAWritablePoint) {
    VirtualModule module(basicModule());
    Fault fault;
    fault.kind = Fault::NoReply;
    fault.command = CmdStateBasic;
    fault.writesOnly = true;
    module.injectFault(fault);
    TavrikMessage poll = request(CmdStateBasic, 1);
    std::copy(module.image().begin(), module.image().end(), poll.bytes + 35);
    EXPECT_EQ(exchange(module, poll).size(), 1u) << "a poll repeating the module's values";
    TavrikMessage write = request(CmdStateBasic, 1);
    std::memset(write.bytes + 35, 0, 27);  // every output on
    EXPECT_TRUE(exchange(module, write).empty()) << "the write is swallowed";
    EXPECT_EQ(module.point(1, 0), 0) << "and not taken";
    EXPECT_EQ(exchange(module, write).size(), 1u) << "its count is spent";
    EXPECT_EQ(module.point(1, 0), 1);
}

TEST(AppEvents, StateEventsInBothLayouts) {
    VirtualModule basic(basicModule());
    basic.setPoint(0, 2, 1);
    basic.sendStateEvent();
    ASSERT_EQ(basic.output().size(), 1u);
    const TavrikMessage event = test::toMessage(basic.output().front());
    EXPECT_TRUE(wellFormed(event));
    EXPECT_EQ(event.bytes[1], CmdStateEventBasic);
    EXPECT_EQ(event.bytes[35], 0x0F);
    EXPECT_EQ(event.bytes[38], 0x00) << "input 2 reads 1: wire bit 0";

    ModuleConfig config = basicModule();
    config.deviceFlags = kFlagExtendedLayout;
    config.ioConfig.assign(60, 9);  // 120-byte image
    VirtualModule extended(config);
    extended.setPoint(9, 59, 0xBEEF);
    extended.sendStateEvent();
    ASSERT_EQ(extended.output().size(), 3u);
    const size_t offsets[] = {0, 54, 108};
    for (size_t i = 0; i < 3; ++i) {
        const TavrikMessage e = test::toMessage(extended.output()[i]);
        EXPECT_TRUE(wellFormed(e));
        EXPECT_EQ(e.bytes[1], CmdStateEventExtended);
        EXPECT_EQ(e.bytes[5] | (e.bytes[6] << 8), offsets[i]);
    }
    const TavrikMessage last = test::toMessage(extended.output()[2]);
    EXPECT_EQ(last.bytes[7 + 10], 0xEF);
    EXPECT_EQ(last.bytes[7 + 11], 0xBE);
}

TEST(AppEvents, ErrorEventCarriesTheCode) {
    VirtualModule module(basicModule());
    module.sendErrorEvent(-9);
    ASSERT_EQ(module.output().size(), 1u);
    const TavrikMessage event = test::toMessage(module.output().front());
    EXPECT_TRUE(wellFormed(event));
    EXPECT_EQ(event.bytes[1], CmdErrorEvent);
    EXPECT_EQ(event.bytes[2], 0xF7);
}

TEST(AppScript, ActionsCountFromTheFirstKeepAlive) {
    ModuleConfig config = basicModule();
    ScriptedAction set;
    set.kind = ScriptedAction::SetPoint;
    set.afterMs = 300;
    set.type = 0;
    set.index = 1;
    set.value = 1;
    ScriptedAction error;
    error.kind = ScriptedAction::ErrorEvent;
    error.afterMs = 300;
    error.value = -9;
    ScriptedAction unplug;
    unplug.kind = ScriptedAction::Unplug;
    unplug.afterMs = 500;
    config.script = {unplug, set, error};
    VirtualModule module(config);

    module.tick(5000);
    EXPECT_FALSE(module.nextActionMs());
    exchange(module, request(CmdStatus, 0), 900);  // opening: not a keep-alive
    EXPECT_FALSE(module.nextActionMs());
    EXPECT_EQ(exchange(module, request(CmdStatus, 1), 1000).size(), 1u);
    EXPECT_EQ(module.nextActionMs(), 1300);
    module.tick(1299);
    EXPECT_TRUE(module.output().empty());
    module.tick(1300);
    ASSERT_EQ(module.output().size(), 2u);
    EXPECT_EQ(module.output()[0].bytes[1], CmdStateEventBasic);
    EXPECT_EQ(module.output()[0].bytes[35], 0x0D);
    EXPECT_EQ(module.output()[1].bytes[1], CmdErrorEvent);
    EXPECT_EQ(module.point(0, 1), 1);
    EXPECT_FALSE(module.takeUnplug());
    module.tick(1500);
    EXPECT_TRUE(module.output().empty());
    EXPECT_TRUE(module.takeUnplug());
    EXPECT_FALSE(module.nextActionMs());
}

TEST(AppPoints, UnknownPointsAreRefused) {
    VirtualModule module(basicModule());
    EXPECT_EQ(module.point(0, 3), kNoPoint);
    EXPECT_EQ(module.point(13, 0), kNoPoint);
    EXPECT_FALSE(module.setPoint(4, 0, 1));
}

}  // namespace
}  // namespace tavrik::virt
