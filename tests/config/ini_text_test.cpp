#include "ini_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tavrik {
namespace {

struct ReadCase {
    const char* what;
    const char* text;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
};

class ReadIniValueTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadIniValueTest, FindsFirstKeyOfFirstMatchingSection) {
    const ReadCase& c = GetParam();
    EXPECT_EQ(readIniValue(c.text, c.section, c.key), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadIniValueTest,
    ::testing::Values(
        ReadCase{"names without regard to case", "[DEVICE0]\nSerial=AbC\n", "device0", "SERIAL",
                 "AbC"},
        ReadCase{"blanks around names and value", "  [ device0\t]\n  serial \t=  A B \t\n",
                 "device0", "serial", "A B"},
        ReadCase{"CR LF lines", "[device0]\r\nserial=A\r\ntype=T\r\n", "device0", "serial", "A"},
        ReadCase{"last line without line break", "[device0]\nserial=A", "device0", "serial", "A"},
        ReadCase{"value containing '='", "[d]\nk=a=b =c\n", "d", "k", "a=b =c"},
        ReadCase{"empty value", "[d]\nk=\n", "d", "k", ""},
        ReadCase{"double quotes removed", "[d]\nk=\"Rack A\"\n", "d", "k", "Rack A"},
        ReadCase{"quotes keep inner blanks", "[d]\nk = \" pad \" \n", "d", "k", " pad "},
        ReadCase{"single quotes removed", "[d]\nk='x'\n", "d", "k", "x"},
        ReadCase{"only an outer pair removed", "[d]\nk=\"\"a\"\"\n", "d", "k", "\"a\""},
        ReadCase{"unmatched quote kept", "[d]\nk=\"abc'\n", "d", "k", "\"abc'"},
        ReadCase{"lone quote kept", "[d]\nk=\"\n", "d", "k", "\""},
        ReadCase{"comments skipped", "[d]\n; k=1\n  # k=2\nk=3\n", "d", "k", "3"},
        ReadCase{"commented key is absent", "[d]\n;k=1\n", "d", "k", std::nullopt},
        ReadCase{"line without '=' skipped", "[d]\nk\nk=5\n", "d", "k", "5"},
        ReadCase{"line without '=' is no key", "[d]\nk\n", "d", "k", std::nullopt},
        ReadCase{"first of duplicate keys", "[d]\nk=1\nK=2\n", "d", "k", "1"},
        ReadCase{"first of duplicate sections", "[d]\nk=1\n[D]\nk=2\n", "d", "k", "1"},
        ReadCase{"key only in second duplicate section", "[d]\na=1\n[d]\nk=2\n", "d", "k",
                 std::nullopt},
        ReadCase{"key of another section", "[a]\nk=1\n[b]\nj=2\n", "b", "k", std::nullopt},
        ReadCase{"key before any section", "k=1\n[d]\n", "d", "k", std::nullopt},
        ReadCase{"text after ']' ignored", "[d] ; main\nk=1\n", "d", "k", "1"},
        ReadCase{"header without ']' opens no section", "[e\nk=1\n", "e", "k", std::nullopt},
        ReadCase{"section name is not a prefix", "[device10]\nk=1\n", "device1", "k", std::nullopt},
        ReadCase{"empty text", "", "d", "k", std::nullopt}));

struct WriteCase {
    const char* what;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
};

class WriteIniValueTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteIniValueTest, ChangesOnlyTheWrittenEntry) {
    const WriteCase& c = GetParam();
    const std::string after = writeIniValue(c.before, c.section, c.key, c.value);
    EXPECT_EQ(after, c.after) << c.what;
    EXPECT_EQ(readIniValue(after, c.section, c.key), c.value) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Replace, WriteIniValueTest,
    ::testing::Values(
        WriteCase{"key spelling and blanks kept", "[Device0]\n  Serial =\tOLD  \nx=1\n", "device0",
                  "serial", "NEW", "[Device0]\n  Serial =\tNEW  \nx=1\n"},
        WriteCase{"quoted value replaced whole", "[d]\nk=\"old\"\n", "d", "k", "new",
                  "[d]\nk=new\n"},
        WriteCase{"empty value filled", "[d]\nk=\nj=2\n", "d", "k", "v", "[d]\nk=v\nj=2\n"},
        WriteCase{"value containing '='", "[d]\nk=a=b\n", "d", "k", "c=d", "[d]\nk=c=d\n"},
        WriteCase{"first of duplicate keys", "[d]\nk=1\nk=2\n", "d", "k", "9", "[d]\nk=9\nk=2\n"},
        WriteCase{"first of duplicate sections", "[d]\nk=1\n[d]\nk=2\n", "d", "k", "9",
                  "[d]\nk=9\n[d]\nk=2\n"},
        WriteCase{"CR LF line", "[a]\r\nx=1\r\ny=2\r\n", "a", "x", "22", "[a]\r\nx=22\r\ny=2\r\n"},
        WriteCase{"last line without line break", "[a]\nx=1", "a", "x", "2", "[a]\nx=2"}));

INSTANTIATE_TEST_SUITE_P(
    Insert, WriteIniValueTest,
    ::testing::Values(
        WriteCase{"after the last key, before what precedes the next section",
                  "[a]\nx=1\n; about y\ny=2\n\n; next is b\n[b]\nz=3\n", "a", "k", "9",
                  "[a]\nx=1\n; about y\ny=2\nk=9\n\n; next is b\n[b]\nz=3\n"},
        WriteCase{"into a section without keys, after its header", "[a]\n; none yet\n\n[b]\n", "a",
                  "k", "9", "[a]\nk=9\n; none yet\n\n[b]\n"},
        WriteCase{"beside commented keys", "[d]\nx=1\n;k=1\n#k=2\n", "d", "k", "9",
                  "[d]\nx=1\nk=9\n;k=1\n#k=2\n"},
        WriteCase{"beside a line without '='", "[d]\nx=1\nk\n", "d", "k", "9",
                  "[d]\nx=1\nk=9\nk\n"},
        WriteCase{"into the first of duplicate sections", "[d]\na=1\n[d]\nk=2\n", "d", "k", "9",
                  "[d]\na=1\nk=9\n[d]\nk=2\n"},
        WriteCase{"after a last line without line break", "[a]\nx=1", "a", "k", "9",
                  "[a]\nx=1\nk=9\n"},
        WriteCase{"after a header without line break", "[a]", "a", "k", "9", "[a]\nk=9\n"},
        WriteCase{"with CR LF", "[a]\r\nx=1\r\n\r\n[b]\r\n", "a", "k", "9",
                  "[a]\r\nx=1\r\nk=9\r\n\r\n[b]\r\n"}));

INSTANTIATE_TEST_SUITE_P(
    Append, WriteIniValueTest,
    ::testing::Values(
        WriteCase{"to an empty text", "", "b", "k", "9", "[b]\nk=9\n"},
        WriteCase{"after a final line break", "[a]\nx=1\n", "b", "k", "9", "[a]\nx=1\n[b]\nk=9\n"},
        WriteCase{"with a line break first", "[a]\nx=1", "b", "k", "9", "[a]\nx=1\n[b]\nk=9\n"},
        WriteCase{"after a final comment", "[a]\n; the end", "b", "k", "9",
                  "[a]\n; the end\n[b]\nk=9\n"},
        WriteCase{"keys before any section belong to none", "k=1\n", "d", "k", "9",
                  "k=1\n[d]\nk=9\n"},
        WriteCase{"with CR LF", "[a]\r\nx=1", "b", "k", "9", "[a]\r\nx=1\r\n[b]\r\nk=9\r\n"}));

// Values that the reader would change as they stand: outer blanks, outer quotes of their own,
// comment and header characters, '=' and bytes above 0x7F.
const std::string kAwkwardValues[] = {"A1",
                                      "",
                                      " lead",
                                      "trail ",
                                      "\tTab\t",
                                      "  ",
                                      "\"Q1\"",
                                      "'Q1'",
                                      "\"",
                                      "\"\"",
                                      "'",
                                      "\"a'",
                                      "a\"b\"",
                                      "\"\" pad \"\"",
                                      ";x",
                                      "#x",
                                      "[x]",
                                      "[device1]",
                                      "a=b",
                                      "=",
                                      "a ; b",
                                      "\xC4\xD6 ",
                                      "\" quoted",
                                      "x\"",
                                      std::string(3, '\'')};

class IniValueTextTest : public ::testing::TestWithParam<std::string> {};

TEST_P(IniValueTextTest, WrittenValueReadsBackByteForByte) {
    const std::string& value = GetParam();
    const std::optional<std::string> text = iniValueText(value);
    ASSERT_TRUE(text.has_value());
    // Added to an empty text, to a section, and in place of an old value.
    for (const char* before :
         {"", "[d]\nx=1\n", "[d]\nk = old \n", "[D]\r\nK=\"old\"\r\n[e]\r\nk=2\r\n"}) {
        const std::string written = writeIniValue(before, "d", "k", *text);
        EXPECT_EQ(readIniValue(written, "d", "k"), value) << "in:\n" << written;
    }
}

INSTANTIATE_TEST_SUITE_P(Values, IniValueTextTest, ::testing::ValuesIn(kAwkwardValues));

TEST(IniValueTextTest, OrdinaryValuesStandAsTheyAreAndOthersInQuotes) {
    EXPECT_EQ(iniValueText("A1"), "A1");
    EXPECT_EQ(iniValueText(""), "");
    EXPECT_EQ(iniValueText("a;b [c] #d=e"), "a;b [c] #d=e");
    EXPECT_EQ(iniValueText("\"a"), "\"a");
    EXPECT_EQ(iniValueText(" a"), "\" a\"");
    EXPECT_EQ(iniValueText("'a'"), "\"'a'\"");
    EXPECT_EQ(iniValueText("\"\""), "\"\"\"\"");
}

TEST(IniValueTextTest, NoTextHoldsALineBreakOrANul) {
    for (const std::string& value :
         {std::string("a\nb"), std::string("a\rb"), std::string("\n"), std::string("a\0b", 3)}) {
        EXPECT_EQ(iniValueText(value), std::nullopt) << value;
    }
}

struct NameCase {
    std::string name;
    bool section;  // found again as a section name
    bool key;      // found again as a key name
};

TEST(IniNameTest, OnlyNamesThatAreFoundAgainPass) {
    const NameCase cases[] = {
        {"device0", true, true}, {"device-1", true, true}, {"a b", true, true},
        {"", false, false},      {" d", false, false},     {"d\t", false, false},
        {"a\nb", false, false},  {"a\rb", false, false},   {std::string("a\0", 2), false, false},
        {"a]b", false, true},    {"a=b", true, false},     {"[k", true, false},
        {";k", true, false},     {"#k", true, false},      {"k;#[", true, true},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(isIniSectionName(c.name), c.section) << "section '" << c.name << "'";
        EXPECT_EQ(isIniKeyName(c.name), c.key) << "key '" << c.name << "'";
        // What passes does read back under its name.
        if (c.section) {
            EXPECT_EQ(readIniValue(writeIniValue("", c.name, "k", "v"), c.name, "k"), "v")
                << c.name;
        }
        if (c.key) {
            EXPECT_EQ(readIniValue(writeIniValue("", "d", c.name, "v"), "d", c.name), "v")
                << c.name;
        }
    }
}

}  // namespace
}  // namespace tavrik
