#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tavrik_message.h"
#include "tavrik_point_table.h"

namespace tavrik {
namespace {

TavrikPointTable makeTable(const std::vector<uint8_t>& config, int32_t flags = 0) {
    TavrikPointTable table;
    table.setDeviceFlags(flags);
    table.build(config.data(), config.size());
    return table;
}

std::vector<int32_t> positions(const TavrikPointTable& table, uint32_t type) {
    std::vector<int32_t> result;
    for (const TavrikPoint& point : table.row(type))
        result.push_back(point.bitPosition);
    return result;
}

TEST(PointTableBuildTest, LayoutOfMixedConfiguration) {
    const TavrikPointTable table = makeTable({0, 0, 1, 65, 8, 0});
    EXPECT_EQ(positions(table, Inputs), (std::vector<int32_t>{0, 1, 24}));
    EXPECT_EQ(positions(table, Outputs), (std::vector<int32_t>{2, 3}));
    EXPECT_FALSE(table.isRelay(Outputs, 0));
    EXPECT_TRUE(table.isRelay(Outputs, 1));
    EXPECT_EQ(positions(table, PoeStatus), (std::vector<int32_t>{8}));
    EXPECT_EQ(table.imageLength(), 4u);
    for (uint32_t type : {2u, 3u, 4u, 5u, 6u, 7u, 9u, 10u, 11u, 12u})
        EXPECT_EQ(table.count(type), 0u) << type;

    // poe_status is the word at bytes 1 and 2.
    const uint8_t image[4] = {0x00, 0x34, 0x12, 0x00};
    TavrikPointTable decoded = table;
    decoded.decode(image, 0, 4, kSelectAll);
    EXPECT_EQ(decoded.value(PoeStatus, 0), 0x1234);
}

struct MaskCase {
    uint8_t code;
    int32_t flags;
    bool relay;  // false: the code yields no point
};

class PointTableMaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(PointTableMaskTest, CodeTakesOneBit) {
    const MaskCase c = GetParam();
    const TavrikPointTable table = makeTable({c.code, 0}, c.flags);
    EXPECT_EQ(table.count(Outputs), c.relay ? 1u : 0u);
    EXPECT_EQ(table.isRelay(Outputs, 0), c.relay);
    // Either way the code used bit 0, so the input after it sits at bit 1.
    EXPECT_EQ(positions(table, Inputs), (std::vector<int32_t>{1}));
    EXPECT_EQ(table.imageLength(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Masks, PointTableMaskTest,
                         ::testing::Values(MaskCase{0x42, 0, false}, MaskCase{0xC1, 0, true},
                                           MaskCase{0xC1, kFlagExtendedLayout, false},
                                           MaskCase{0x41, kFlagExtendedLayout, true}));

TEST(PointTableBuildTest, RebuildReplacesRowsAndClearKeepsSettings) {
    TavrikPointTable table = makeTable({0, 0, 0, 5});
    table.build(std::vector<uint8_t>{1}.data(), 1);
    EXPECT_EQ(table.count(Inputs), 0u);
    EXPECT_EQ(table.count(Watchdog), 0u);
    EXPECT_EQ(table.count(Outputs), 1u);
    EXPECT_EQ(table.imageLength(), 1u);

    table.setDeviceFlags(kFlagExtendedLayout);
    ASSERT_EQ(table.setValue(Outputs, 0, 1), Ok);
    table.clear();
    for (uint32_t type = 0; type < kIoTypeCount; ++type)
        EXPECT_EQ(table.count(type), 0u);
    EXPECT_EQ(table.imageLength(), 1u);
    EXPECT_EQ(table.deviceFlags(), kFlagExtendedLayout);
    EXPECT_TRUE(table.isPending());
    EXPECT_EQ(table.pollPeriodMs(), 900);

    table.build(nullptr, 0);
    EXPECT_EQ(table.imageLength(), 0u);
}

// One point of each type, in type order.
const std::vector<uint8_t> kEveryType = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 65};

TEST(PointTableValueTest, FreshTableReadsZeroAndInvertsOneBitPoints) {
    TavrikPointTable table = makeTable(kEveryType);
    for (uint32_t type = 0; type < kIoTypeCount; ++type)
        for (size_t i = 0; i < table.count(type); ++i)
            EXPECT_EQ(table.value(type, static_cast<int32_t>(i)), 0) << type << "/" << i;
    EXPECT_FALSE(table.isPending());

    // An all-zero image: every one-bit point reads 1, every word reads 0.
    const std::vector<uint8_t> zero(table.imageLength(), 0);
    table.decode(zero.data(), 0, static_cast<uint32_t>(zero.size()), kSelectAll);
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        const int expected = (pointDescriptor(type) & kDescriptorWide) ? 0 : 1;
        EXPECT_EQ(table.value(type, 0), expected) << type;
    }
}

struct SetValueErrorCase {
    uint32_t type;
    int32_t index;
    int32_t value;
    int result;
};

class PointTableSetValueErrorTest : public ::testing::TestWithParam<SetValueErrorCase> {};

TEST_P(PointTableSetValueErrorTest, LeavesTableUnchanged) {
    const SetValueErrorCase c = GetParam();
    TavrikPointTable table = makeTable(kEveryType);
    EXPECT_EQ(table.checkValue(c.type, c.index, c.value), c.result);
    EXPECT_EQ(table.setValue(c.type, c.index, c.value), c.result);
    EXPECT_FALSE(table.isPending());
    for (uint32_t type = 0; type < kIoTypeCount; ++type)
        EXPECT_EQ(table.value(type, 0), 0) << type;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, PointTableSetValueErrorTest,
    ::testing::Values(SetValueErrorCase{Inputs, 0, 1, InvalidParameterValue},
                      SetValueErrorCase{PoeStatus, 0, 1, InvalidParameterValue},
                      SetValueErrorCase{Outputs, 2, 1, IoPointOutOfRange},  // count is 2
                      SetValueErrorCase{Outputs, -1, 1, IoPointOutOfRange},
                      SetValueErrorCase{13, 0, 1, IoPointOutOfRange},
                      SetValueErrorCase{Outputs, 0, -1, InvalidParameterValue},
                      SetValueErrorCase{Watchdog, 0, 0x10000, InvalidParameterValue},
                      SetValueErrorCase{Outputs, 0, 2, InvalidParameterValue},
                      SetValueErrorCase{PoeReset, 0, 3, InvalidParameterValue}));

TEST(PointTableValueTest, CheckedWriteIsNotMade) {
    TavrikPointTable table = makeTable(kEveryType);
    EXPECT_EQ(table.checkValue(Outputs, 1, 1), Ok);
    EXPECT_EQ(table.checkValue(Watchdog, 0, 0xFFFF), Ok);
    EXPECT_EQ(table.checkValue(PoeReset, 0, 0), Ok);
    EXPECT_FALSE(table.isPending());
    EXPECT_EQ(table.value(Outputs, 1), 0);
    EXPECT_EQ(table.value(Watchdog, 0), 0);
}

TEST(PointTableValueTest, ValueOutOfRange) {
    const TavrikPointTable table = makeTable({0, 0});
    EXPECT_EQ(table.value(Inputs, 2), IoPointOutOfRange);
    EXPECT_EQ(table.value(Inputs, -1), IoPointOutOfRange);
    EXPECT_EQ(table.value(13, 0), IoPointOutOfRange);
    EXPECT_EQ(table.value(Outputs, 0), IoPointOutOfRange);
}

TEST(PointTableValueTest, OneBitOutputIsSentInvertedAndTakesOnlyOneBit) {
    TavrikPointTable table = makeTable({1, 1});
    ASSERT_EQ(table.setValue(Outputs, 0, 1), Ok);
    EXPECT_TRUE(table.isPending());
    EXPECT_EQ(table.value(Outputs, 0), 1);
    ASSERT_EQ(table.setValue(Outputs, 1, 2), InvalidParameterValue);
    EXPECT_EQ(table.value(Outputs, 1), 0);

    uint8_t chunk[1] = {0xFF};
    table.encode(chunk, 0, 1, kSelectAll);
    EXPECT_FALSE(table.isPending());
    EXPECT_EQ(chunk[0] & 0x03, 0x02);  // value 1 is wire bit 0, value 0 wire bit 1
}

TEST(PointTableValueTest, UnchangedWriteIsPendingOnlyOnceMarked) {
    TavrikPointTable table = makeTable({1});
    ASSERT_EQ(table.setValue(Outputs, 0, 0), Ok);
    EXPECT_FALSE(table.isPending());

    ASSERT_EQ(table.setValue(Outputs, 0, 1), Ok);
    uint8_t chunk[1] = {};
    table.encode(chunk, 0, 1, kSelectAll);
    // Nobody consumes the mark of a writable point, so the same value is sent again.
    ASSERT_EQ(table.setValue(Outputs, 0, 1), Ok);
    EXPECT_TRUE(table.isPending());
}

TEST(PointTableValueTest, WatchdogRewrittenWithCurrentValueSends0xFFFF) {
    TavrikPointTable table = makeTable({5});
    const uint8_t image[2] = {30, 0};
    table.decode(image, 0, 2, kSelectAll);
    ASSERT_EQ(table.value(Watchdog, 0), 30);

    ASSERT_EQ(table.setValue(Watchdog, 0, 30), Ok);
    EXPECT_EQ(table.value(Watchdog, 0), 65535);
    EXPECT_TRUE(table.isPending());
    uint8_t chunk[2] = {};
    table.encode(chunk, 0, 2, kSelectAll);
    EXPECT_EQ(chunk[0], 0xFF);
    EXPECT_EQ(chunk[1], 0xFF);

    ASSERT_EQ(table.setValue(Watchdog, 0, 300), Ok);
    EXPECT_EQ(table.value(Watchdog, 0), 300);
    table.encode(chunk, 0, 2, kSelectAll);
    EXPECT_EQ(chunk[0], 0x2C);
    EXPECT_EQ(chunk[1], 0x01);
}

TEST(PointTableEncodeTest, PulsePointIsSentOnceThenReturns) {
    TavrikPointTable table = makeTable({0, 7});
    ASSERT_EQ(table.setValue(PoeReset, 0, 1), Ok);

    uint8_t chunk[1] = {0xFF};
    table.encode(chunk, 0, 1, kSelectAll);
    EXPECT_EQ(chunk[0] & 0x02, 0);
    EXPECT_EQ(table.value(PoeReset, 0), 0);

    chunk[0] = 0;
    table.encode(chunk, 0, 1, kSelectAll);
    EXPECT_EQ(chunk[0] & 0x02, 0x02);
}

TEST(PointTableEncodeTest, SelectionPicksWritableOrReadOnlyTypes) {
    TavrikPointTable table = makeTable({0, 1});
    const uint8_t image[1] = {0x00};
    table.decode(image, 0, 1, kSelectReadOnly);
    EXPECT_EQ(table.value(Inputs, 0), 1);
    EXPECT_EQ(table.value(Outputs, 0), 0);

    // Input at bit 0 now holds wire 0; output at bit 1 is set to 1, which is wire 0 as well.
    ASSERT_EQ(table.setValue(Outputs, 0, 1), Ok);
    uint8_t chunk[1] = {0xFF};
    table.encode(chunk, 0, 1, kSelectWritable);
    EXPECT_EQ(chunk[0], 0xFD);
    chunk[0] = 0xFF;
    table.encode(chunk, 0, 1, kSelectReadOnly);
    EXPECT_EQ(chunk[0], 0xFE);
}

// A wide point whose low byte is the last byte of a 56-byte chunk straddles the chunk's end.
struct StraddleCase {
    size_t leadingInputs;  // shifts the watchdog word to byte 54 or 55
    uint32_t wordByte;
    bool inFirstChunk;
};

class PointTableStraddleTest : public ::testing::TestWithParam<StraddleCase> {
  protected:
    TavrikPointTable table() const {
        // 27 poe_status words fill 54 bytes; the watchdog word follows them.
        std::vector<uint8_t> config(GetParam().leadingInputs, 0);
        config.insert(config.end(), 27, 8);
        config.push_back(5);
        TavrikPointTable t = makeTable(config, kFlagExtendedLayout);
        EXPECT_EQ(positions(t, Watchdog),
                  (std::vector<int32_t>{static_cast<int32_t>(GetParam().wordByte * 8)}));
        return t;
    }
};

TEST_P(PointTableStraddleTest, EncodeWritesWordOnlyWhenWhole) {
    const StraddleCase c = GetParam();
    TavrikPointTable t = table();
    ASSERT_EQ(t.setValue(Watchdog, 0, 0xBEEF), Ok);

    uint8_t first[56];
    std::memset(first, 0xEE, sizeof first);
    t.encode(first, 0, 56, kSelectWritable);
    if (c.inFirstChunk) {
        EXPECT_EQ(readU16(first + 54), 0xBEEF);
    } else {
        EXPECT_EQ(first[55], 0xEE);
    }

    uint8_t second[56];
    std::memset(second, 0xEE, sizeof second);
    t.encode(second, 54, 56, kSelectWritable);
    EXPECT_EQ(readU16(second + (c.wordByte - 54)), 0xBEEF);
}

TEST_P(PointTableStraddleTest, DecodeTakesWordOnlyWhenWhole) {
    const StraddleCase c = GetParam();
    TavrikPointTable t = table();
    uint8_t image[57] = {};  // one byte past the chunk, so a straddling word is whole here
    writeU16(image + c.wordByte, 0x1234);
    t.decode(image, 0, 56, kSelectAll);
    EXPECT_EQ(t.value(Watchdog, 0), c.inFirstChunk ? 0x1234 : 0);
}

INSTANTIATE_TEST_SUITE_P(Straddle, PointTableStraddleTest,
                         ::testing::Values(StraddleCase{0, 54, true}, StraddleCase{8, 55, false}));

TEST(PointTableDecodeTest, ChangeMarksAndTakeChanged) {
    TavrikPointTable table = makeTable({0, 0, 8, 9});  // inputs at bits 0,1; words at bytes 1, 3
    uint8_t image[5] = {0x03, 0, 0, 0, 0};             // inputs unchanged (wire 1 = value 0)
    writeU16(image + 1, 0x0069);
    writeU16(image + 3, 480);
    table.decode(image, 0, 5, kSelectReadOnly);

    EXPECT_FALSE(table.takeChanged(Inputs, 0));
    EXPECT_FALSE(table.takeChanged(Inputs, 1));
    EXPECT_TRUE(table.takeChanged(PoeStatus, 0));
    EXPECT_FALSE(table.takeChanged(PoeStatus, 0));   // the mark is consumed
    EXPECT_FALSE(table.takeChanged(PoeVoltage, 0));  // measured: never reported
    EXPECT_EQ(table.value(PoeVoltage, 0), 480);

    image[0] = 0x01;  // input 1 goes to wire 0
    table.decode(image, 0, 5, kSelectReadOnly);
    EXPECT_FALSE(table.takeChanged(Inputs, 0));
    EXPECT_TRUE(table.takeChanged(Inputs, 1));
    EXPECT_EQ(table.value(Inputs, 1), 1);

    // The measured point's mark was cleared too, so an unchanged value stays quiet.
    table.decode(image, 0, 5, kSelectReadOnly);
    EXPECT_FALSE(table.takeChanged(PoeVoltage, 0));
    EXPECT_FALSE(table.takeChanged(Inputs, 5));  // out of range is simply false
}

TEST(PointTableDecodeTest, PointsOutsideTheChunkKeepTheirValues) {
    TavrikPointTable table = makeTable({8, 8, 8});  // words at bytes 0, 2, 4
    uint8_t chunk[2] = {0x22, 0x11};
    table.decode(chunk, 2, 2, kSelectAll);
    EXPECT_EQ(table.value(PoeStatus, 0), 0);
    EXPECT_EQ(table.value(PoeStatus, 1), 0x1122);
    EXPECT_EQ(table.value(PoeStatus, 2), 0);
}

// A chunk that starts from the module's image and then takes encode carries the module's own
// bits wherever no point of the table owns them.
TEST(PointTableModuleImageTest, UnownedBitsKeepTheModulesValues) {
    // inputs: bits 0, 1; outputs 0..3: bits 2..5; unknown code 0x0E: bit 6; watchdog: bytes 1, 2
    TavrikPointTable table = makeTable({0, 0, 1, 1, 1, 1, 0x0E, 5});
    ASSERT_EQ(table.imageLength(), 3u);
    const uint8_t module[3] = {0x7C, 0x1E, 0x00};  // outputs and the unknown bit at 1; watchdog 30
    table.decode(module, 0, 3, kSelectAll);
    table.truncate(Outputs, 2);  // outputs 2 and 3 hidden
    table.truncate(Watchdog, 0);
    ASSERT_EQ(table.setValue(Outputs, 0, 1), Ok);  // wire bit 2 cleared

    uint8_t chunk[27] = {};
    table.moduleBytes(chunk, 0, sizeof chunk);
    table.encode(chunk, 0, sizeof chunk, kSelectAll);
    EXPECT_EQ(chunk[0], 0x78);  // output 0 as written, hidden outputs and the unknown bit kept
    EXPECT_EQ(chunk[1], 0x1E);  // the hidden watchdog word as the module holds it
    EXPECT_EQ(chunk[2], 0x00);
    EXPECT_EQ(chunk[3], 0x00) << "bytes past the image stay as they were";
}

TEST(PointTableModuleImageTest, DecodeRecordsEveryByteOfTheChunkWhateverItSelects) {
    TavrikPointTable table = makeTable(std::vector<uint8_t>(120 * 8, 0), kFlagExtendedLayout);
    ASSERT_EQ(table.imageLength(), 120u);
    uint8_t event[56];
    for (size_t i = 0; i < sizeof event; ++i) {
        event[i] = static_cast<uint8_t>(0xA0 + i);
    }
    table.decode(event, 108, sizeof event, kSelectReadOnly);  // runs past the image's end
    uint8_t chunk[56];
    std::memset(chunk, 0xEE, sizeof chunk);
    table.moduleBytes(chunk, 108, sizeof chunk);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(chunk[i], 0xA0 + i) << i;
    }
    EXPECT_EQ(chunk[12], 0xEE) << "nothing is read or written past the image";
    table.moduleBytes(chunk, 200, sizeof chunk);  // wholly past the image
    EXPECT_EQ(chunk[0], 0xA0);
}

TEST(PointTableRowTest, TruncateCountAndIsRelayBounds) {
    TavrikPointTable table = makeTable({65, 1, 65, 0, 0, 0});
    EXPECT_EQ(table.count(13), 0u);
    EXPECT_EQ(table.truncate(13, 0), IoPointOutOfRange);

    EXPECT_EQ(table.truncate(Inputs, 5), Ok);  // never grows a row
    EXPECT_EQ(table.count(Inputs), 3u);
    EXPECT_EQ(table.truncate(Inputs, 1), Ok);
    EXPECT_EQ(table.count(Inputs), 1u);
    EXPECT_EQ(table.value(Inputs, 1), IoPointOutOfRange);

    EXPECT_TRUE(table.isRelay(Outputs, 0));
    EXPECT_FALSE(table.isRelay(Outputs, 1));
    EXPECT_TRUE(table.isRelay(Outputs, 2));
    EXPECT_EQ(table.truncate(Outputs, 2), Ok);
    EXPECT_FALSE(table.isRelay(Outputs, 2));
    EXPECT_FALSE(table.isRelay(Outputs, -1));
    EXPECT_FALSE(table.isRelay(13, 0));
    EXPECT_FALSE(table.isRelay(Inputs, 0));
}

}  // namespace
}  // namespace tavrik
