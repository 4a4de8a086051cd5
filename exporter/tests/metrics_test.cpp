// The metric text from fixed snapshots: escaping, the PoE status word, the relay label.
#include <gtest/gtest.h>

#include <tavrik/tavrik.h>

#include <algorithm>
#include <string>

#include "collector.h"
#include "metrics.h"
#include "options.h"
#include "utf8_text.h"
#include "virtual_bus_fixture.h"

namespace tavrik::exporter {
namespace {

bool contains(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

ModuleSnapshot module(const std::string& serial, int index) {
    ModuleSnapshot m;
    m.serial = serial;
    m.listIndex = index;
    m.name = "Rack 1";
    m.typeText = "TIO-8";
    m.firmware = "2.1.0";
    m.hardware = "B";
    return m;
}

TEST(EscapeLabelValue, EscapesBackslashQuoteAndNewline) {
    const struct {
        std::string raw, escaped;
    } cases[] = {
        {"plain", "plain"},
        {"a\\b", "a\\\\b"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"two\nlines", "two\\nlines"},
        {"", ""},
        {"\\\"\n", "\\\\\\\"\\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(escapeLabelValue(c.raw), c.escaped) << c.raw;
}

TEST(EscapeLabelValue, AlwaysValidUtf8) {
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    const struct {
        const char* what;
        std::string raw, escaped;
    } cases[] = {
        {"two, three and four bytes", "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80",
         "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"},
        {"highest", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"NUL stays", std::string("a\0b", 3), std::string("a\0b", 3)},
        {"lone continuation", "a\x80z", "a" + bad + "z"},
        {"continuations", "\x80\xBF", bad + bad},
        {"Latin-1 byte", "T\xE4vrik", "T" + bad + "vrik"},
        {"overlong slash", "\xC0\xAF", bad + bad},
        {"overlong three", "\xE0\x80\xAF", bad + bad + bad},
        {"overlong four", "\xF0\x8F\xBF\xBF", bad + bad + bad + bad},
        {"truncated at end", "ok\xE4\xB8", "ok" + bad},
        {"truncated before ASCII", "\xF0\x9F\x98\"", bad + "\\\""},
        {"truncated before a lead", "\xC3\xC3\xA9", bad + "\xC3\xA9"},
        {"surrogate", "\xED\xA0\x80", bad + bad + bad},
        {"past U+10FFFF", "\xF4\x90\x80\x80", bad + bad + bad + bad},
        {"never a lead", "\xF5\xFE\xFF", bad + bad + bad},
        {"escapes beside", "\"\xFF\n\\", "\\\"" + bad + "\\n\\\\"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(escapeLabelValue(c.raw), c.escaped) << c.what;
}

TEST(Utf8Text, WideStringsBecomeUtf8) {
    const struct {
        const char* what;
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {"ASCII", L"Tavrik IO", "Tavrik IO"},
        {"Latin-1", L"T\u00E4vrik", "T\xC3\xA4vrik"},
        {"CJK", L"\u6A21\u5757", "\xE6\xA8\xA1\xE5\x9D\x97"},
        {"past the BMP", L"\U0001F600", "\xF0\x9F\x98\x80"},
        {"lone surrogate", std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x", "\xEF\xBF\xBDx"},
        {"empty", L"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utf8Text(c.wide.c_str()), c.utf8) << c.what;
}

// A module without a name of its own is named by its product string.
class ProductNameTest : public test::VirtualBusTest {};

TEST_F(ProductNameTest, ProductStringOutsideAsciiIsAUtf8Label) {
    virt::ModuleConfig m = test::basicModule("U100");
    m.infoName.clear();
    m.productString = "T\xE4vrik \xB5IO";  // the bus widens each byte to U+00E4, U+00B5
    bus.add(m);
    Collector collector(false);
    const std::string text = renderMetrics(collector.scrape());
    EXPECT_NE(text.find("name=\"T\xC3\xA4vrik \xC2\xB5IO\""), std::string::npos) << text;
}

TEST(RenderMetrics, EveryFamilyHasHelpAndType) {
    Snapshot s;
    s.eventCounters = true;
    const std::string text = renderMetrics(s);
    for (const char* family :
         {"tavrik_up gauge", "tavrik_module_info gauge", "tavrik_point_value gauge",
          "tavrik_poe_class gauge", "tavrik_poe_flag gauge", "tavrik_watchdog_time_seconds gauge",
          "tavrik_point_changes_total counter", "tavrik_error_events_total counter",
          "tavrik_exporter_scrape_duration_seconds gauge",
          "tavrik_exporter_open_failures_total counter"}) {
        const std::string name = std::string(family).substr(0, std::string(family).find(' '));
        EXPECT_TRUE(contains(text, std::string("# TYPE ") + family)) << family;
        EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << family;
    }
}

TEST(RenderMetrics, EventCountersOnlyWhenHeld) {
    Snapshot s;
    EXPECT_EQ(renderMetrics(s).find("tavrik_point_changes_total"), std::string::npos);
    EXPECT_EQ(renderMetrics(s).find("tavrik_error_events_total"), std::string::npos);
}

TEST(RenderMetrics, ModuleIdentityAndUp) {
    Snapshot s;
    ModuleSnapshot up = module("A100", 0);
    up.name = "Rack \"1\"\nleft\\";
    up.watchdogTime = 1700000000;
    ModuleSnapshot busy = module("B200", 1);
    busy.openResult = DeviceBusy;
    s.modules = {up, busy};
    s.openFailures = {{DeviceBusy, 3}};
    const std::string text = renderMetrics(s);
    EXPECT_TRUE(contains(text, "tavrik_up{serial=\"A100\",index=\"0\"} 1"));
    EXPECT_TRUE(contains(text, "tavrik_up{serial=\"B200\",index=\"1\"} 0"));
    EXPECT_TRUE(contains(text,
                         "tavrik_module_info{serial=\"A100\",index=\"0\",name=\"Rack "
                         "\\\"1\\\"\\nleft\\\\\",module_type=\"TIO-8\",firmware=\"2.1.0\","
                         "hardware=\"B\"} 1"));
    EXPECT_EQ(text.find("tavrik_module_info{serial=\"B200\""), std::string::npos);
    EXPECT_TRUE(
        contains(text, "tavrik_watchdog_time_seconds{serial=\"A100\",index=\"0\"} 1700000000"));
    EXPECT_TRUE(contains(
        text, "tavrik_exporter_open_failures_total{code=\"-1\",message=\"Device is busy\"} 3"));
}

TEST(RenderMetrics, WatchdogTimeOnlyWhenReported) {
    Snapshot s;
    s.modules = {module("A100", 0)};
    EXPECT_EQ(renderMetrics(s).find("tavrik_watchdog_time_seconds{"), std::string::npos);
}

TEST(RenderMetrics, PointsWithTypeNamesAndRelayLabelOnOutputs) {
    Snapshot s;
    ModuleSnapshot m = module("A100", 2);
    m.points = {{Inputs, 3, 1, false},
                {Outputs, 0, 0, false},
                {Outputs, 1, 1, true},
                {PsAlarms, 0, 1, false},
                {PoeVoltage, 1, 4800, false}};
    s.modules = {m};
    const std::string text = renderMetrics(s);
    const std::string prefix = "tavrik_point_value{serial=\"A100\",index=\"2\",";
    for (const char* line :
         {"type=\"inputs\",point=\"3\"} 1", "type=\"outputs\",point=\"0\",relay=\"0\"} 0",
          "type=\"outputs\",point=\"1\",relay=\"1\"} 1", "type=\"psalarms\",point=\"0\"} 1",
          "type=\"poe_voltage\",point=\"1\"} 4800"})
        EXPECT_TRUE(contains(text, prefix + line)) << line;
}

TEST(RenderMetrics, PoeStatusWordBrokenOut) {
    const struct {
        int32_t word;
        int cls;
        std::vector<std::string> set;
    } cases[] = {
        {0x69, 1, {"enabled", "present", "powered"}},
        {0xF00, 0, {"overcurrent", "overpower", "undervoltage", "overtemp"}},
        {0xF000, 0, {}},  // bits above 11 mean nothing
        {0x97, 7, {"reset", "faulted"}},
    };
    for (const auto& c : cases) {
        Snapshot s;
        ModuleSnapshot m = module("P1", 0);
        m.points = {{PoeStatus, 2, c.word, false}};
        s.modules = {m};
        const std::string text = renderMetrics(s);
        const std::string port = "{serial=\"P1\",index=\"0\",port=\"2\"";
        EXPECT_TRUE(contains(text, "tavrik_poe_class" + port + "} " + std::to_string(c.cls)))
            << c.word;
        for (const PoeStatusFlag& flag : poeStatusFlags()) {
            const bool set = std::find(c.set.begin(), c.set.end(), flag.word) != c.set.end();
            EXPECT_TRUE(contains(text, "tavrik_poe_flag" + port + ",flag=\"" + flag.word + "\"} " +
                                           (set ? "1" : "0")))
                << c.word << ' ' << flag.word;
        }
    }
}

TEST(RenderMetrics, EventCounters) {
    Snapshot s;
    s.eventCounters = true;
    s.pointChanges[{"A100", 0, PsAlarms, 1}] = 4;
    s.errorEvents[{"A100", 0, WatchdogReset}] = 1;
    const std::string text = renderMetrics(s);
    EXPECT_TRUE(contains(text,
                         "tavrik_point_changes_total{serial=\"A100\",index=\"0\","
                         "type=\"psalarms\",point=\"1\"} 4"));
    EXPECT_TRUE(contains(text,
                         "tavrik_error_events_total{serial=\"A100\",index=\"0\","
                         "code=\"-14\",message=\"Watchdog reset occured\"} 1"));
}

TEST(ParseOptions, Cases) {
    const struct {
        std::vector<std::string> args;
        bool ok;
        std::string address;
        uint16_t port;
        std::string textfile;
        bool hold;
    } cases[] = {
        {{}, true, "127.0.0.1", kDefaultPort, "", false},
        {{"--listen", "0.0.0.0:9100"}, true, "0.0.0.0", 9100, "", false},
        {{"--listen", "[::1]:0", "--hold"}, true, "::1", 0, "", true},
        {{"--textfile", "/tmp/x.prom"}, true, "127.0.0.1", kDefaultPort, "/tmp/x.prom", false},
        {{"--listen"}, false, "", 0, "", false},
        {{"--listen", "127.0.0.1"}, false, "", 0, "", false},
        {{"--listen", "127.0.0.1:65536"}, false, "", 0, "", false},
        {{"--listen", "127.0.0.1:9x"}, false, "", 0, "", false},
        {{"--listen", "::1:80"}, false, "", 0, "", false},
        {{"--listen", ":80"}, false, "", 0, "", false},
        {{"--textfile", "a", "--hold"}, false, "", 0, "", false},
        {{"--textfile", ""}, false, "", 0, "", false},
        {{"--bogus"}, false, "", 0, "", false},
    };
    for (const auto& c : cases) {
        Options options;
        std::string error;
        const bool ok = parseOptions(c.args, options, error);
        ASSERT_EQ(ok, c.ok) << (c.args.empty() ? "" : c.args[0]) << ' ' << error;
        if (!ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(options.address, c.address);
        EXPECT_EQ(options.port, c.port);
        EXPECT_EQ(options.textfile, c.textfile);
        EXPECT_EQ(options.hold, c.hold);
    }
}

}  // namespace
}  // namespace tavrik::exporter
