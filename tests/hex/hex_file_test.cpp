#include "hex_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crc16.h"
#include "hex_text.h"
#include "scratch_dir.h"

namespace tavrik {
namespace {

using test::hexLine;

std::string linear(uint16_t upper) {
    return hexLine(0, 0x04, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}

const std::string kData = hexLine(0x6000, 0x00, {0x01, 0x02, 0x03, 0x04});
const std::string kEof = ":00000001FF";

class HexFileTest : public ::testing::Test {
  protected:
    void writeFile(const std::string& text) const { scratch_.file("image.hex", text); }

    test::ScratchDir scratch_{"tavrik-hex"};
    // Exists and is empty until a test writes it.
    const std::string path_ = scratch_.file("image.hex", "");
};

struct ValidityCase {
    const char* label;
    std::string text;
    bool valid;
};

class ValidityTest : public HexFileTest, public ::testing::WithParamInterface<ValidityCase> {};

TEST_P(ValidityTest, WholeFileCheck) {
    writeFile(GetParam().text);
    EXPECT_EQ(HexFile(path_).isValid(), GetParam().valid);
}

std::string lowercase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string badChecksum(std::string line) {
    line.back() = line.back() == '0' ? '1' : '0';
    return line;
}

// 122 data bytes: ':' and 254 digits, the longest line the reader takes.
const std::string kLine255 = hexLine(0x6000, 0x00, std::vector<uint8_t>(122, 0x5A));
const std::string kLine257 = hexLine(0x6000, 0x00, std::vector<uint8_t>(123, 0x5A));

const ValidityCase kValidityCases[] = {
    {"LineFeeds", kData + "\n" + kEof + "\n", true},
    {"CrLf", kData + "\r\n" + kEof + "\r\n", true},
    {"MissingFinalLineFeed", kData + "\n" + kEof, false},
    {"LoneCrAtEnd", kData + "\n" + kEof + "\r", true},
    {"BlankLineFirst", "\n" + kData + "\n" + kEof + "\n", false},
    {"BlankLineBetween", kData + "\n\n" + kEof + "\n", false},
    {"BlankLineAfterEof", kData + "\n" + kEof + "\n\n", false},
    {"CrLfBlankLineAfterEof", kData + "\r\n" + kEof + "\r\n\r\n", false},
    {"RecordAfterEof", kData + "\n" + kEof + "\n" + kData + "\n", true},
    {"BadLineAfterEof", kData + "\n" + kEof + "\n" + "garbage line\n", false},
    {"OnlyEof", kEof + "\n", false},
    {"EmptyFile", "", false},
    {"BadChecksum", badChecksum(kData) + "\n" + kEof + "\n", false},
    {"Lowercase", lowercase(linear(0x9D00) + "\n" + kData + "\n" + kEof + "\n"), true},
    {"NoColon", kData.substr(1) + "0\n" + kEof + "\n", false},
    {"TooShort", ":0000000\n" + kEof + "\n", false},
    {"OddDigits", kData + "0\n" + kEof + "\n", false},
    {"Line255", kLine255 + "\n" + kEof + "\n", true},
    {"Line257", kLine257 + "\n" + kEof + "\n", false},
    {"Line255PlusCr", kLine255 + "\r\n" + kEof + "\r\n", false},
    {"CountAboveData", hexLine(0x6000, 0x00, {1, 2, 3, 4}, 8) + "\n" + kEof + "\n", false},
    {"CountBelowData", hexLine(0x6000, 0x00, {1, 2, 3, 4}, 2) + "\n" + kEof + "\n", false},
    {"LinearWithoutValue", hexLine(0, 0x04, {}) + "\n" + kData + "\n" + kEof + "\n", false},
    {"UnknownTypeAccepted", hexLine(0, 0x07, {9}) + "\n" + kEof + "\n", true},
};

INSTANTIATE_TEST_SUITE_P(Files, ValidityTest, ::testing::ValuesIn(kValidityCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(HexFileOpenTest, NonexistentFileIsInvalidAndReadsFail) {
    HexFile file("/nonexistent/dir/firmware.hex");
    uint8_t record[16];
    EXPECT_FALSE(file.isValid());
    EXPECT_EQ(file.readRecord(record, sizeof record), -1);
    EXPECT_EQ(file.readRecord(record, sizeof record), -1);
    EXPECT_EQ(file.progressPercent(), 0);
    uint32_t start = 1, length = 1;
    uint16_t crc = 1;
    file.imageCrc(&start, &length, &crc);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(crc, 0u);
}

TEST_F(HexFileTest, ReadRecordYieldsBytesThenEndOfFile) {
    writeFile(kData + "\r\n" + kEof + "\n");
    HexFile file(path_);
    uint8_t record[32];
    ASSERT_EQ(file.readRecord(record, sizeof record), 9);
    const uint8_t expected[] = {0x04, 0x60, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x92};
    EXPECT_EQ(std::memcmp(record, expected, sizeof expected), 0);
    EXPECT_EQ(file.readRecord(record, sizeof record), 5);
    EXPECT_EQ(file.readRecord(record, sizeof record), 0);
    EXPECT_EQ(file.readRecord(record, sizeof record), 0);
}

TEST_F(HexFileTest, ReadRecordNeverWritesBeyondCapacity) {
    writeFile(kData + "\n");
    HexFile file(path_);
    uint8_t record[8];
    std::memset(record, 0xEE, sizeof record);
    EXPECT_EQ(file.readRecord(record, 6), -1);  // the checksum byte is not reached
    EXPECT_EQ(record[5], 0x02);
    EXPECT_EQ(record[6], 0xEE);
    EXPECT_EQ(record[7], 0xEE);
}

TEST_F(HexFileTest, OverlongLineIsMalformedAndReadingGoesOnAtTheNextLine) {
    writeFile(kLine257 + "\n" + kEof + "\n");
    HexFile file(path_);
    uint8_t record[kProgramCapacity];
    EXPECT_EQ(file.readRecord(record, sizeof record), -1);
    EXPECT_EQ(file.readRecord(record, sizeof record), 5);
    EXPECT_EQ(file.readRecord(record, sizeof record), 0);
}

TEST_F(HexFileTest, ProgressFollowsReadPositionAndEndsAt100) {
    writeFile(kEof + "\n" + kEof + "\n");  // two lines of 12 bytes
    HexFile file(path_);
    uint8_t record[16];
    EXPECT_EQ(file.progressPercent(), 0);
    ASSERT_EQ(file.readRecord(record, sizeof record), 5);
    EXPECT_EQ(file.progressPercent(), 50);
    ASSERT_EQ(file.readRecord(record, sizeof record), 5);
    ASSERT_EQ(file.readRecord(record, sizeof record), 0);
    EXPECT_EQ(file.progressPercent(), 100);
}

TEST_F(HexFileTest, ProgressOfEmptyFile) {
    HexFile file(path_);
    uint8_t record[16];
    EXPECT_EQ(file.progressPercent(), 0);
    EXPECT_EQ(file.readRecord(record, sizeof record), 0);
    EXPECT_EQ(file.progressPercent(), 100);
}

struct DecodeCase {
    const char* label;
    std::string line;  // as extracted: the line feed is counted but not stored
    bool lineFeed;
    int expected;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, ResultOfOneLine) {
    const DecodeCase& c = GetParam();
    const size_t n = c.line.size() + (c.lineFeed ? 1 : 0);
    uint8_t record[kValidateCapacity];
    EXPECT_EQ(decodeRecordLine(c.line.c_str(), n, record, sizeof record), c.expected);
}

const DecodeCase kDecodeCases[] = {
    {"Eof", kEof, true, 5},
    {"EofCr", kEof + "\r", true, 5},
    {"EofNoLineFeed", kEof, false, -1},
    {"EofLoneCr", kEof + "\r", false, 5},
    {"Empty", "", true, -1},
    {"NineCharacters", ":00000001", true, -1},
    {"NoColon", ";00000001FF", true, -1},
    {"PairWithoutDigitIsZero", ":zz000001FF", true, 5},
    {"Lowercase", ":00000001ff", true, 5},
    {"BadSum", ":00000001FE", true, -1},
    {"FourBytes", ":000001FF", true, -1},
};

INSTANTIATE_TEST_SUITE_P(Lines, DecodeTest, ::testing::ValuesIn(kDecodeCases),
                         [](const auto& info) { return std::string(info.param.label); });

// Every pair of characters decodes as strtol in base 16 reads it, hex digits or not.
TEST(DecodeRecordLine, EveryPairReadsAsStrtolReadsIt) {
    const char digits[] = "0123456789ABCDEF";
    for (int a = 1; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const char text[3] = {static_cast<char>(a), static_cast<char>(b), '\0'};
            const auto expected = static_cast<uint8_t>(std::strtol(text, nullptr, 16));
            const uint8_t check = static_cast<uint8_t>(-expected);
            std::string line = ":";
            line += static_cast<char>(a);
            line += static_cast<char>(b);
            line += "00000000";
            line += digits[check >> 4];
            line += digits[check & 0xF];
            uint8_t record[16];
            ASSERT_EQ(decodeRecordLine(line.c_str(), line.size() + 1, record, sizeof record), 6)
                << a << " " << b;
            ASSERT_EQ(record[0], expected) << a << " " << b;
        }
    }
}

// The summary of records given as lines.
struct Summary {
    uint32_t start;
    uint32_t length;
    uint16_t crc;
};

Summary summarize(const std::vector<std::string>& lines) {
    ImageSummary image;
    for (const std::string& line : lines) {
        uint8_t decoded[kImageCapacity];
        const int length = decodeRecordLine(line.c_str(), line.size() + 1, decoded, sizeof decoded);
        EXPECT_GT(length, 0) << line;
        // Exactly the decoded bytes, so that a read beyond them is caught by the sanitizer.
        const std::vector<uint8_t> record(decoded, decoded + std::max(length, 0));
        image.addRecord(record.data(), length);
    }
    Summary s{};
    image.result(&s.start, &s.length, &s.crc);
    return s;
}

uint16_t crcOf(const std::vector<uint8_t>& bytes) {
    return crc16Xmodem(bytes.data(), bytes.size());
}

std::vector<uint8_t> filled(size_t size, std::vector<uint8_t> head) {
    head.resize(size, 0xFF);
    return head;
}

struct ImageCase {
    const char* label;
    std::vector<std::string> lines;
    uint32_t start;
    uint32_t length;
    std::vector<uint8_t> covered;  // the bytes whose CRC is expected
};

class ImageTest : public ::testing::TestWithParam<ImageCase> {};

TEST_P(ImageTest, StartLengthAndCrc) {
    const ImageCase& c = GetParam();
    const Summary s = summarize(c.lines);
    EXPECT_EQ(s.start, c.start);
    EXPECT_EQ(s.length, c.length);
    EXPECT_EQ(s.crc, c.covered.empty() ? 0 : crcOf(c.covered));
}

const std::vector<uint8_t> kBytes = {0x01, 0x02, 0x03, 0x04};

const ImageCase kImageCases[] = {
    {"Linear9D00", {linear(0x9D00), kData, kEof}, kImageBase, 4, kBytes},
    {"Linear1D00", {linear(0x1D00), kData, kEof}, kImageBase, 4, kBytes},
    {"AliasesShareOnePosition",
     {linear(0x1D00), hexLine(0x6000, 0, {1, 2}), linear(0x9D00), hexLine(0x6002, 0, {3, 4})},
     kImageBase,
     4,
     kBytes},
    {"LaterRecordOverwritesAlias",
     {linear(0x9D00), kData, linear(0x1D00), hexLine(0x6000, 0, {9})},
     kImageBase,
     4,
     {9, 2, 3, 4}},
    {"GapsCountAsFF",
     {linear(0x9D00), hexLine(0x6000, 0, {1}), hexLine(0x6004, 0, {2})},
     kImageBase,
     5,
     {1, 0xFF, 0xFF, 0xFF, 2}},
    {"AllOutside", {linear(0x9D00), hexLine(0x5FFC, 0, {1, 2, 3, 4}), kEof}, 0, 0, {}},
    {"NoLinearIsOutside", {kData, kEof}, 0, 0, {}},
    {"StraddlingWindowStartIgnored", {linear(0x9D00), hexLine(0x5FFE, 0, {1, 2, 3, 4})}, 0, 0, {}},
    {"EndingAtCrcEnd", {linear(0x9D01), hexLine(0xEFFC, 0, {1, 2, 3, 4})}, 0x9D01EFFC, 4, kBytes},
    {"CrossingCrcEnd", {linear(0x9D01), hexLine(0xEFFE, 0, {1, 2, 3, 4})}, 0x9D01EFFE, 2, {1, 2}},
    {"AtCrcEndCountsNothing", {linear(0x9D01), hexLine(0xF000, 0, {1})}, 0, 0, {}},
    {"LastWindowByteOnlyRaisesEnd",
     {linear(0x9D00), hexLine(0x6000, 0, {0xAA}), linear(0x9D02), hexLine(0x5FFF, 0, {0xBB})},
     kImageBase,
     kImageCrcEnd - kImageBase,
     filled(kImageCrcEnd - kImageBase, {0xAA})},
    {"BeyondWindowIgnored",
     {linear(0x9D00), hexLine(0x6000, 0, {0xAA}), linear(0x9D02), hexLine(0x6000, 0, {0xBB})},
     kImageBase,
     1,
     {0xAA}},
    {"SegmentResetsLinear", {linear(0x9D00), hexLine(0, 0x02, {0, 0}), kData}, 0, 0, {}},
    {"OtherTypeResetsOffsets", {linear(0x9D00), kEof, kData}, 0, 0, {}},
    {"InconsistentCountIgnored",
     {linear(0x9D00), hexLine(0x6000, 0, {1, 2}, 200), hexLine(0x6000, 0, {1, 2, 3, 4, 5}, 0)},
     0,
     0,
     {}},
    {"LinearWithoutValueIgnored",
     {linear(0x9D00), hexLine(0, 0x04, {}), kData},
     kImageBase,
     4,
     kBytes},
};

INSTANTIATE_TEST_SUITE_P(Records, ImageTest, ::testing::ValuesIn(kImageCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(HexFileTest, ImageCrcOfFileAndRewind) {
    writeFile(linear(0x1D00) + "\r\n" + kData + "\r\n" + kEof + "\r\n");
    HexFile file(path_);
    uint32_t start = 0, length = 0;
    uint16_t crc = 0;
    file.imageCrc(&start, &length, &crc);
    EXPECT_EQ(start, kImageBase);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(crc, crcOf(kBytes));
    EXPECT_TRUE(file.isValid());
    uint8_t record[kProgramCapacity];
    file.imageCrc(&start, &length, &crc);
    EXPECT_EQ(file.readRecord(record, sizeof record), 7);  // rewound to the first record
}

TEST_F(HexFileTest, ImageCrcOfFileWithAllDataOutsideIsZero) {
    writeFile(linear(0x9D03) + "\n" + kData + "\n" + kEof + "\n");
    HexFile file(path_);
    uint32_t start = 1, length = 1;
    uint16_t crc = 1;
    file.imageCrc(&start, &length, &crc);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(crc, 0u);
}

// Whether a file is fit to program: valid, and something for the verification to cover.
struct ProgrammableCase {
    const char* label;
    std::vector<std::string> lines;  // each ends with a line feed in the file
    bool programmable;
};

class ProgrammableTest : public HexFileTest,
                         public ::testing::WithParamInterface<ProgrammableCase> {};

TEST_P(ProgrammableTest, NeedsDataInTheVerifiedRange) {
    std::string text;
    for (const std::string& line : GetParam().lines) {
        text += line + "\n";
    }
    writeFile(text);
    HexFile file(path_);
    EXPECT_EQ(file.isProgrammable(), GetParam().programmable);
    // Rewound for the next use.
    uint8_t record[kProgramCapacity];
    EXPECT_GT(file.readRecord(record, sizeof record), 0);
}

const ProgrammableCase kProgrammableCases[] = {
    {"AtImageBase", {linear(0x9D00), kData, kEof}, true},
    {"Alias1D", {linear(0x1D00), kData, kEof}, true},
    {"LastByteBeforeCrcEnd", {linear(0x9D01), hexLine(0xEFFF, 0, {7}), kEof}, true},
    {"BootFlashBesideImage",
     {linear(0x1FC0), hexLine(0, 0, {9, 9}), linear(0x1D00), kData, kEof},
     true},
    {"BelowImageBase", {linear(0x9D00), hexLine(0x5FFC, 0, {1, 2, 3, 4}), kEof}, false},
    {"FromCrcEnd",
     {linear(0x9D01), hexLine(0xF000, 0, {1}), linear(0x9D02), hexLine(0x5FF0, 0, {2}), kEof},
     false},
    {"BeyondWindow", {linear(0x9D03), kData, kEof}, false},
    {"BootFlashOnly", {linear(0x1FC0), hexLine(0, 0, {1, 2, 3, 4}), kEof}, false},
    {"WithoutAddressRecord", {kData, kEof}, false},
    {"NoDataRecords", {linear(0x9D00), kEof}, false},
    {"MalformedLine", {linear(0x9D00), kData, badChecksum(kData), kEof}, false},
};

INSTANTIATE_TEST_SUITE_P(Files, ProgrammableTest, ::testing::ValuesIn(kProgrammableCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace tavrik
