// Texts that tavrik_info builds from values: PoE status words, event lines, watchdog times,
// module texts made safe for the terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "info_commands.h"
#include "module_text.h"

namespace tavrik {
namespace {

struct PoeCase {
    int32_t status;
    const char* text;
};

class PoeStatusText : public testing::TestWithParam<PoeCase> {};

TEST_P(PoeStatusText, NamesClassThenFlagsInFixedOrder) {
    std::ostringstream out;
    printPoeStatus(out, GetParam().status);
    EXPECT_EQ(out.str(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Words, PoeStatusText,
    testing::Values(PoeCase{0, "class0"}, PoeCase{0x69, "class1 enabled present powered"},
                    PoeCase{0xF00, "class0 overcurrent overpower undervoltage overtemp"},
                    PoeCase{0xF000, "class0"}, PoeCase{0x07, "class7"},
                    PoeCase{0xF8, "class0 enabled present reset faulted powered"},
                    PoeCase{-1,
                            "class7 enabled present reset faulted powered overcurrent "
                            "overpower undervoltage overtemp"}));

// Captures what printEvent writes to standard output.
std::string eventLine(int32_t kind, int32_t type, int32_t index, int32_t value) {
    Event event;
    event.kind = kind;
    event.type = static_cast<uint32_t>(type);
    event.index = static_cast<uint32_t>(index);
    event.value = value;
    std::ostringstream captured;
    std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
    printEvent(event);
    std::cout.rdbuf(original);
    return captured.str();
}

struct EventCase {
    int32_t kind, type, index, value;
    const char* line;
};

class EventLine : public testing::TestWithParam<EventCase> {};

TEST_P(EventLine, IsOneFinishedLine) {
    const EventCase& c = GetParam();
    EXPECT_EQ(eventLine(c.kind, c.type, c.index, c.value), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EventLine,
    testing::Values(EventCase{1, 0, 3, 1, "IO Event: inputs[3] 1\n"},
                    EventCase{1, 2, 0, 0, "IO Event: buttons[0] 0\n"},
                    EventCase{1, 9, 1, 4812, "IO Event: poe_voltage[1] 4812\n"},
                    EventCase{1, 8, 0, 0x69,
                              "IO Event: poe_status[0] class1 enabled present powered\n"},
                    EventCase{1, 8, 2, 0xF000, "IO Event: poe_status[2] class0\n"},
                    EventCase{0, 13, 0, -9, "Error Event: Timeout on i2c bus\n"},
                    EventCase{0, 13, 0, -100, "Error Event: API thread has stopped running\n"},
                    EventCase{0, 13, 0, -55, "Error Event: Unknown Error\n"},
                    EventCase{2, 13, 0, 5, "Unknown Event: 2:5\n"},
                    EventCase{-3, 0, 0, -7, "Unknown Event: -3:-7\n"}));

struct TimeCase {
    int64_t seconds;
    const char* text;
};

class WatchdogTime : public testing::TestWithParam<TimeCase> {};

TEST_P(WatchdogTime, ReadsAsUtcWithZeroPaddedDay) {
    EXPECT_EQ(watchdogTimeText(GetParam().seconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Times, WatchdogTime,
                         testing::Values(TimeCase{1, "Thu Jan 01 00:00:01 1970"},
                                         TimeCase{951782400, "Tue Feb 29 00:00:00 2000"},
                                         TimeCase{1700000000, "Tue Nov 14 22:13:20 2023"},
                                         TimeCase{4294967295, "Sun Feb 07 06:28:15 2106"}));

struct TerminalCase {
    const char* label;
    std::string text;
    std::string shown;
};

class TerminalText : public testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalText, EscapesControlBytesOnly) {
    EXPECT_EQ(terminalText(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TerminalText,
    testing::Values(TerminalCase{"Plain", "Rack 2 ~!", "Rack 2 ~!"}, TerminalCase{"Empty", "", ""},
                    TerminalCase{"ClearScreen", "A\x1B[2JB", "A\\x1B[2JB"},
                    TerminalCase{"ClipboardWrite", "\x1B]52;c;aGk=\x07", "\\x1B]52;c;aGk=\\x07"},
                    TerminalCase{"LineControls", "a\tb\nc\rd", "a\\x09b\\x0Ac\\x0Dd"},
                    TerminalCase{"Nul", std::string("a\0b", 3), "a\\x00b"},
                    TerminalCase{"Delete", "x\x7F", "x\\x7F"},
                    TerminalCase{"C1Csi",
                                 "\x9B"
                                 "31m",
                                 "\\x9B31m"},
                    TerminalCase{"C1Bounds", "\x80\x9F", "\\x80\\x9F"},
                    TerminalCase{"Latin1Kept", "\xA0\xE4\xFF", "\xA0\xE4\xFF"},
                    TerminalCase{"BackslashKept", "C:\\x1B\\", "C:\\x1B\\"},
                    // Valid UTF-8 stays whole, also where its bytes lie in 0x80-0x9F (the euro
                    // sign, A with macron); the UTF-8 forms of the C1 controls do not.
                    TerminalCase{"Utf8", "\xC3\xA4 \xE2\x82\xAC \xC4\x80",
                                 "\xC3\xA4 \xE2\x82\xAC \xC4\x80"},
                    TerminalCase{"Utf8C1",
                                 "a\xC2\x9B"
                                 "31m\xC2\x85\xC2\xA0",
                                 "a\\xC2\\x9B31m\\xC2\\x85\xC2\xA0"},
                    TerminalCase{"BrokenUtf8", "\xE2\x82 \xC3", "\xE2\\x82 \xC3"}),
    [](const testing::TestParamInfo<TerminalCase>& info) { return info.param.label; });

TEST(TerminalText, EveryOtherByteIsKeptAsItIs) {
    for (int byte = 0; byte < 256; ++byte) {
        const std::string text(1, static_cast<char>(byte));
        const bool control = byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F);
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        EXPECT_EQ(terminalText(text), control ? std::string(escaped) : text) << byte;
    }
}

}  // namespace
}  // namespace tavrik
