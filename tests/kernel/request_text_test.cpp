// The lines tavrik_sim -v prints about requests and answers.
#include "request_text.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace tavrik::sim {
namespace {

TavrikMessage message(std::initializer_list<std::pair<size_t, uint8_t>> bytes) {
    TavrikMessage m;
    m.bytes[0] = kPreamble;
    for (const auto& [at, value] : bytes) {
        m.bytes[at] = value;
    }
    return m;
}

TEST(RequestText, NamesApplicationRequests) {
    const TavrikMessage ok = message({{1, 0}});
    const struct {
        TavrikMessage request;
        const char* text;
    } cases[] = {
        {message({{1, 1}}), "status request"},
        {message({{1, 1}, {4, 1}}), "keep-alive"},
        {message({{1, 1}, {5, 1}}), "restart into the bootloader"},
        {message({{1, 2}, {4, 1}}), "state exchange"},
        {message({{1, 6}, {5, 54}}), "state exchange at offset 54"},
        {message({{1, 3}, {5, 102}, {7, 45}}), "information block read at 102, 45 bytes"},
        {message({{1, 5}, {4, 57}}), "IO configuration read from entry 57"},
        {message({{1, 9}}), "command 9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(appRequestText(c.request, &ok), c.text);
    }
}

TEST(RequestText, ShowsAFailedOrMissingReply) {
    const TavrikMessage request = message({{1, 2}});
    const TavrikMessage refused = message({{1, 2}, {2, 0xF9}});
    EXPECT_EQ(appRequestText(request, &refused),
              "state exchange: status -7 (IO point number outside range)");
    EXPECT_EQ(appRequestText(request, nullptr), "state exchange: no reply");
}

TEST(RequestText, NamesEvents) {
    EXPECT_EQ(appEventText(message({{1, 0}, {2, 0xF7}})), "error event -9 (Timeout on i2c bus)");
    EXPECT_EQ(appEventText(message({{1, 4}})), "state event");
    EXPECT_EQ(appEventText(message({{1, 7}, {5, 0x36}})), "state event at offset 54");
}

TEST(RequestText, NamesBootloaderRequestsWithTheirAnswers) {
    using Bytes = std::vector<uint8_t>;
    const struct {
        Bytes request;
        Bytes reply;
        const char* text;
    } cases[] = {
        {{0x01}, {0x01, 1, 4}, "BootInfo: version 1.4"},
        {{0x07}, {0x07, 3}, "HardwareType: type 3"},
        {{0x02}, {0x02}, "Erase: done"},
        {Bytes(506, 0x03), {0x03}, "Program, 505 bytes of records: done"},
        {{0x04, 0x00, 0x60, 0x00, 0x9D, 0x00, 0x90, 0x01, 0x00},
         {0x04, 0x34, 0x12},
         "ReadCrc from 0x9d006000, 102400 bytes: CRC 0x1234"},
        {{0x04, 1, 2}, {0x04, 0, 0}, "ReadCrc with 2 parameter bytes: CRC 0x0000"},
        {{0x05}, {0x05}, "StartApplication: done"},
        {{0x05}, {0x05, 0}, "StartApplication: answer of 2 bytes"},
        {{0x2A}, {0x2A}, "command 0x2a: answer of 1 bytes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bootRequestText(c.request, &c.reply), c.text);
    }
    EXPECT_EQ(bootRequestText({0x02}, nullptr), "Erase: no answer");
    EXPECT_EQ(bootRequestText({}, nullptr), "empty bootloader frame");
}

TEST(RequestText, NamesAChangedPoint) {
    EXPECT_EQ(pointChangeText(1, 0, 1), "outputs[0] = 1");
    EXPECT_EQ(pointChangeText(12, 3, 1500), "poe_maxpower[3] = 1500");
}

}  // namespace
}  // namespace tavrik::sim
