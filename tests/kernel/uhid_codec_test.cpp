// The uhid messages of tavrik_sim, built and read without a kernel.
#include "uhid_codec.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace tavrik::sim {
namespace {

// Walks the short items of a report descriptor and collects the main items' report sizes.
struct DescriptorSummary {
    std::vector<size_t> inputBytes;
    std::vector<size_t> outputBytes;
    bool hasReportId = false;
    uint32_t usagePage = 0;
    bool balanced = false;
};

DescriptorSummary summarise(const uint8_t* d, size_t n) {
    DescriptorSummary s;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    int depth = 0;
    for (size_t i = 0; i < n;) {
        const uint8_t prefix = d[i];
        const size_t length = (prefix & 3) == 3 ? 4 : (prefix & 3);
        EXPECT_LE(i + 1 + length, n) << "item runs past the end";
        uint32_t value = 0;
        for (size_t k = 0; k < length; ++k) {
            value |= static_cast<uint32_t>(d[i + 1 + k]) << (8 * k);
        }
        switch (prefix & 0xFC) {
            case 0x04:
                s.usagePage = value;
                break;
            case 0x74:
                reportSize = value;
                break;
            case 0x94:
                reportCount = value;
                break;
            case 0x84:
                s.hasReportId = true;
                break;
            case 0x80:
                s.inputBytes.push_back(reportSize * reportCount / 8);
                break;
            case 0x90:
                s.outputBytes.push_back(reportSize * reportCount / 8);
                break;
            case 0xA0:
                ++depth;
                break;
            case 0xC0:
                --depth;
                break;
            default:
                break;
        }
        i += 1 + length;
    }
    s.balanced = depth == 0;
    return s;
}

TEST(UhidCodec, DescriptorHasOne64ByteInputAndOutputWithoutReportIds) {
    const DescriptorSummary s = summarise(kReportDescriptor.data(), kReportDescriptor.size());
    EXPECT_EQ(s.inputBytes, std::vector<size_t>{64});
    EXPECT_EQ(s.outputBytes, std::vector<size_t>{64});
    EXPECT_FALSE(s.hasReportId);
    EXPECT_GE(s.usagePage, 0xFF00u);  // vendor-defined
    EXPECT_TRUE(s.balanced);
}

TEST(UhidCodec, CreateRequestCarriesTheModulesIdentity) {
    UhidIdentity identity{"Tavrik IO", "tavrik_sim/module1", "SN-0001", 0x04D8, 0xF65D};
    const uhid_event e = createRequest(identity);
    EXPECT_EQ(e.type, UHID_CREATE2);
    EXPECT_EQ(e.u.create2.bus, BUS_USB);
    EXPECT_EQ(e.u.create2.vendor, 0x04D8u);
    EXPECT_EQ(e.u.create2.product, 0xF65Du);
    EXPECT_STREQ(reinterpret_cast<const char*>(e.u.create2.name), "Tavrik IO");
    EXPECT_STREQ(reinterpret_cast<const char*>(e.u.create2.uniq), "SN-0001");
    EXPECT_STREQ(reinterpret_cast<const char*>(e.u.create2.phys), "tavrik_sim/module1");
    ASSERT_EQ(e.u.create2.rd_size, kReportDescriptor.size());
    EXPECT_EQ(std::memcmp(e.u.create2.rd_data, kReportDescriptor.data(), kReportDescriptor.size()),
              0);
}

TEST(UhidCodec, CreateRequestCutsLongTextsAndKeepsTheTerminator) {
    UhidIdentity identity{std::string(300, 'n'), "", std::string(100, 'u'), 0x04D8, 0xF713};
    const uhid_event e = createRequest(identity);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.u.create2.name)),
              std::string(sizeof e.u.create2.name - 1, 'n'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.u.create2.uniq)),
              std::string(sizeof e.u.create2.uniq - 1, 'u'));
}

TEST(UhidCodec, InputRequestHoldsOneReport) {
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    uhid_event e = inputRequest(data.data(), 64);
    EXPECT_EQ(e.type, UHID_INPUT2);
    EXPECT_EQ(e.u.input2.size, 64);
    EXPECT_EQ(std::memcmp(e.u.input2.data, data.data(), 64), 0);
    e = inputRequest(data.data(), data.size());
    EXPECT_EQ(e.u.input2.size, 64);
}

TEST(UhidCodec, ParsesTheHostsOutputWithItsReportId) {
    uhid_event e{};
    e.type = UHID_OUTPUT;
    e.u.output.size = 65;
    e.u.output.data[0] = 0;
    e.u.output.data[1] = 0xAA;
    e.u.output.data[64] = 0x5C;
    const UhidMessage m = parseEvent(e, sizeof e);
    ASSERT_EQ(m.kind, UhidMessage::Output);
    ASSERT_EQ(m.data.size(), 65u);
    EXPECT_EQ(m.data[1], 0xAA);
    EXPECT_EQ(m.data[64], 0x5C);
}

TEST(UhidCodec, RejectsEventsThatDoNotHoldWhatTheyClaim) {
    uhid_event e{};
    e.type = UHID_OUTPUT;
    e.u.output.size = 65;
    EXPECT_EQ(parseEvent(e, 2).kind, UhidMessage::Malformed);
    EXPECT_EQ(parseEvent(e, offsetof(uhid_event, u) + 10).kind, UhidMessage::Malformed);
    e.u.output.size = UHID_DATA_MAX + 1;
    EXPECT_EQ(parseEvent(e, sizeof e).kind, UhidMessage::Malformed);
    e.type = UHID_GET_REPORT;
    EXPECT_EQ(parseEvent(e, offsetof(uhid_event, u) + 2).kind, UhidMessage::Malformed);
}

TEST(UhidCodec, ParsesLifecycleEvents) {
    const struct {
        uint32_t type;
        UhidMessage::Kind kind;
    } cases[] = {
        {UHID_START, UhidMessage::Start},  {UHID_STOP, UhidMessage::Stop},
        {UHID_OPEN, UhidMessage::Open},    {UHID_CLOSE, UhidMessage::Close},
        {UHID_INPUT2, UhidMessage::Other},
    };
    for (const auto& c : cases) {
        uhid_event e{};
        e.type = c.type;
        EXPECT_EQ(parseEvent(e, sizeof e).kind, c.kind) << "type " << c.type;
    }
}

TEST(UhidCodec, RefusesFeatureReportRequestsByTheirId) {
    uhid_event e{};
    e.type = UHID_GET_REPORT;
    e.u.get_report.id = 77;
    UhidMessage m = parseEvent(e, sizeof e);
    ASSERT_EQ(m.kind, UhidMessage::GetReport);
    uhid_event reply = refusal(m);
    EXPECT_EQ(reply.type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(reply.u.get_report_reply.id, 77u);
    EXPECT_EQ(reply.u.get_report_reply.err, EIO);

    e = uhid_event{};
    e.type = UHID_SET_REPORT;
    e.u.set_report.id = 78;
    m = parseEvent(e, sizeof e);
    ASSERT_EQ(m.kind, UhidMessage::SetReport);
    reply = refusal(m);
    EXPECT_EQ(reply.type, UHID_SET_REPORT_REPLY);
    EXPECT_EQ(reply.u.set_report_reply.id, 78u);
    EXPECT_EQ(reply.u.set_report_reply.err, EIO);
}

TEST(UhidCodec, OutputReportIsWhatTheUsbDriverWouldSend) {
    const struct {
        const char* what;
        std::vector<uint8_t> written;
        bool fits;
        uint8_t first;  // report byte 0
        uint8_t last;   // report byte 63
    } cases[] = {
        {"report ID 0 and 64 bytes",
         [] {
             std::vector<uint8_t> w(65, 0x11);
             w[0] = 0;
             w[1] = 0xAA;
             return w;
         }(),
         true, 0xAA, 0x11},
        {"short write padded", {0, 0xAA, 0x01}, true, 0xAA, 0x00},
        {"64 bytes without report ID", std::vector<uint8_t>(64, 0x22), true, 0x22, 0x22},
        {"65 bytes without report ID", std::vector<uint8_t>(65, 0x22), false, 0, 0},
        {"report ID 0 and 65 bytes", std::vector<uint8_t>(66, 0), false, 0, 0},
        {"nothing", {}, true, 0x00, 0x00},
    };
    for (const auto& c : cases) {
        const auto report = outputReport(c.written);
        ASSERT_EQ(report.has_value(), c.fits) << c.what;
        if (report) {
            EXPECT_EQ((*report)[0], c.first) << c.what;
            EXPECT_EQ((*report)[63], c.last) << c.what;
        }
    }
}

}  // namespace
}  // namespace tavrik::sim
