#include "config_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_file_fixture.h"

namespace tavrik {
namespace {

TEST(SectionNameTest, DeviceFollowedByDecimalIndex) {
    EXPECT_EQ(sectionName(0), "device0");
    EXPECT_EQ(sectionName(9), "device9");
    EXPECT_EQ(sectionName(-1), "device-1");
}

TEST(ConfigPathTest, BareNameResolvesInConfigDirectoryAndPathsStayAsGiven) {
#ifdef _WIN32
    EXPECT_EQ(ConfigFile().path(), configDirectory() + "\\tavrik.ini");
    EXPECT_EQ(ConfigFile("C:\\x\\other.ini").path(), "C:\\x\\other.ini");
#else
    EXPECT_EQ(ConfigFile().path(), configDirectory() + "/tavrik.ini");
#endif
    EXPECT_EQ(ConfigFile("/tmp/x/other.ini").path(), "/tmp/x/other.ini");
}

TEST_F(ConfigFileTest, MissingFileSectionOrKeyYieldsDefaults) {
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "-1");
    EXPECT_EQ(config.readInt("device0", "inputs", -1), -1);
    EXPECT_EQ(config.findIndex("ABC"), -1);

    writeFile("[device0]\nserial=ABC\n");
    EXPECT_EQ(config.readString("device1", "serial", "-1"), "-1");
    EXPECT_EQ(config.readString("device0", "type", ""), "");
    const ModuleSettings settings = config.readModuleSettings(3);
    EXPECT_EQ(settings.name, "");
    for (int32_t limit : settings.limits) {
        EXPECT_EQ(limit, -1);
    }
}

TEST_F(ConfigFileTest, NamesMatchWithoutRegardToCaseButValuesAsWritten) {
    writeFile("[DEVICE0]\nSerial=AbC\nNAME=Rack A\r\n");
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "AbC");
    EXPECT_EQ(config.readString("Device0", "name", ""), "Rack A");
    EXPECT_EQ(config.findIndex("AbC"), 0);
    EXPECT_EQ(config.findIndex("abc"), -1);
}

TEST_F(ConfigFileTest, ValuesTakeEffectUpTo255Characters) {
    const std::string longName(300, 'n');
    writeFile("[device0]\nname=" + longName + "\n");
    EXPECT_EQ(ConfigFile(path_).readString("device0", "name", ""), longName.substr(0, 255));
}

TEST_F(ConfigFileTest, EmptyNameValueCountsAsNoName) {
    writeFile("[device0]\nname=\ninputs=2\n");
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "name", "default"), "");
    EXPECT_EQ(config.readModuleSettings(0).name, "");
}

TEST_F(ConfigFileTest, SerialMinusOneMatchesFirstSectionWithoutSerial) {
    writeFile(
        "[device0]\nserial=A1\n"
        "[device1]\ntype=TIO\n"
        "[device2]\nserial=B2\n"
        "[device3]\n"
        "[device10]\nserial=Z9\n");
    ConfigFile config(path_);
    EXPECT_EQ(config.findIndex("A1"), 0);
    EXPECT_EQ(config.findIndex("B2"), 2);
    EXPECT_EQ(config.findIndex("-1"), 1);
    EXPECT_EQ(config.findIndex("Z9"), -1);  // only device0 to device9 hold indexes
}

TEST_F(ConfigFileTest, SectionForNoIndexSuppliesNameAndLimits) {
    writeFile(
        "[device-1]\nname=Spare\ninputs=4\npoe_maxpower=0\noutputs=many\n"
        "[device0]\ninputs=7\n");
    const ModuleSettings settings = ConfigFile(path_).readModuleSettings(-1);
    EXPECT_EQ(settings.name, "Spare");
    EXPECT_EQ(settings.limits[Inputs], 4);
    EXPECT_EQ(settings.limits[PoeMaxPower], 0);
    EXPECT_EQ(settings.limits[Outputs], -1);  // not a number
    EXPECT_EQ(settings.limits[Buttons], -1);
}

struct IntCase {
    const char* value;
    int32_t expected;
};

class ReadIntTest : public ConfigFileTest, public ::testing::WithParamInterface<IntCase> {};

TEST_P(ReadIntTest, LeadingDecimalWithinInt32ElseDefault) {
    writeFile(std::string("[device0]\ninputs=") + GetParam().value + "\n");
    EXPECT_EQ(ConfigFile(path_).readInt("device0", "inputs", -7), GetParam().expected)
        << "value: " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReadIntTest,
    ::testing::Values(IntCase{"12", 12}, IntCase{"   5", 5}, IntCase{"4abc", 4}, IntCase{"-3", -3},
                      IntCase{"+6", 6}, IntCase{"0x10", 0}, IntCase{"abc", -7}, IntCase{"", -7},
                      IntCase{"- 1", -7}, IntCase{"2147483647", 2147483647},
                      IntCase{"2147483648", -7}, IntCase{"-2147483648", INT32_MIN},
                      IntCase{"-2147483649", -7}, IntCase{"99999999999999999999", -7}));

TEST_F(ConfigFileTest, WrittenValuesReadBackAndOthersStay) {
    writeFile("[device0]\nserial=A\nname=Rack A\n");
    ConfigFile config(path_);
    ASSERT_TRUE(config.writeString("device0", "serial", "B"));
    ASSERT_TRUE(config.writeString("device3", "type", "TIO-8"));
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "B");
    EXPECT_EQ(config.readString("device0", "name", ""), "Rack A");
    EXPECT_EQ(config.readString("device3", "type", ""), "TIO-8");
    EXPECT_EQ(config.findIndex("B"), 0);
    EXPECT_EQ(config.findIndex("A"), -1);
}

TEST_F(ConfigFileTest, WriteCreatesMissingFile) {
    ASSERT_TRUE(ConfigFile(path_).writeString("device2", "serial", "ABC"));
    EXPECT_EQ(ConfigFile(path_).findIndex("ABC"), 2);
    EXPECT_EQ(directoryEntries(), writtenEntries());
}

// A serial or type recorded must be found again as it is, or the module loses its section and
// takes a new one on every run.
class RecordedValueTest : public ConfigFileTest,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(RecordedValueTest, ReadsBackByteForByteAndIsFoundAgain) {
    const std::string& value = GetParam();
    writeFile("; by hand\n[device0]\nserial=OTHER\n[device3]\nserial=OLD\n");
    ConfigFile config(path_);
    EXPECT_TRUE(ConfigFile::isRecordable(value));
    ASSERT_TRUE(config.writeString("device3", "serial", value));
    ASSERT_TRUE(config.writeString("device4", "serial", value));
    ASSERT_TRUE(config.writeString("device5", "type", value));
    EXPECT_EQ(config.readString("device3", "serial", "<none>"), value);
    EXPECT_EQ(config.readString("device4", "serial", "<none>"), value);
    EXPECT_EQ(config.readString("device5", "type", "<none>"), value);
    EXPECT_EQ(config.findIndex(value), 3);
    EXPECT_EQ(config.readString("device0", "serial", ""), "OTHER");
}

INSTANTIATE_TEST_SUITE_P(Values, RecordedValueTest,
                         ::testing::Values("A1", "", " lead", "trail ", "\t tab", "\"Q1\"", "'Q1'",
                                           "\"", "\"\"", ";x", "#x", "[x]", "[device1]", "a=b",
                                           "a ; b", "\xC4\xD6", std::string(255, 's'),
                                           " " + std::string(252, 's')));

TEST_F(ConfigFileTest, ValueThatCannotReadBackIsRefusedAndLeavesTheFile) {
    const std::string before = "[device0]\nserial=A\n";
    writeFile(before);
    ConfigFile config(path_);
    const std::string refused[] = {"a\nb", "a\rb", std::string("a\0b", 3), std::string(256, 's'),
                                   " " + std::string(254, 's')};
    for (const std::string& value : refused) {
        EXPECT_FALSE(ConfigFile::isRecordable(value)) << value.size();
        EXPECT_FALSE(config.writeString("device0", "serial", value)) << value.size();
        EXPECT_FALSE(config.writeString("device1", "type", value)) << value.size();
    }
    EXPECT_FALSE(config.writeString("device0]", "serial", "B"));
    EXPECT_FALSE(config.writeString("device0", "serial=x", "B"));
    EXPECT_FALSE(config.writeString("device0", ";serial", "B"));
    EXPECT_FALSE(config.writeString(" device0", "serial", "B"));
    EXPECT_EQ(fileText(), before);
}

TEST_F(ConfigFileTest, ValueWithLineBreakIsRefused) {
    writeFile("[device0]\nserial=A\n");
    ConfigFile config(path_);
    EXPECT_FALSE(config.writeString("device0", "type", "X\n[device1]\nserial=forged"));
    EXPECT_FALSE(config.writeString("device0", "type", "X\rY"));
    EXPECT_EQ(fileText(), "[device0]\nserial=A\n");
}

}  // namespace
}  // namespace tavrik
