#include <gtest/gtest.h>

#include "scenario.h"

namespace tavrik::virt {
namespace {

TEST(Scenario, ReadsEveryModuleKey) {
    const char* text = R"(# two modules
log = run/module.log

[module]
serial = A100            # trailing comment
product = Tavrik IO
pid = 0xF2F1
boot_pid = 0xF2F0
location = 00140000.00000000.00000001.00000003.
type = TIO-8
firmware = 2.1.0
flags = 1
watchdog_time = 1700000000
watchdog_reset = 1
info_serial = X-9
info_name = Rack#1
hardware = C
info_damaged = 1
config = 0 0 0 0
config = 65 1 0x09
command5 = 0
busy = 1
bootloader = 1
restart_ms = 250
hardware_type = 7
boot_version = 2.10
point = 0 3 1
at = 300 set 9 0 1234
at = 300 error -9
at = 400 state
at = 500 unplug
at = 600 flood 2
fault = status command=2 count=5 status=-8
fault = boot_no_answer command=0x07
fault = unplug_after_program count=3
fault = vanish command=2 after=4 back_ms=500
fault = boot_vanish command=3 after=5
fault = no_reply command=2 count=4 writes=1

[module]
)";
    Scenario scenario;
    ScenarioError error;
    ASSERT_TRUE(parseScenario(text, scenario, error)) << describe(error);
    EXPECT_EQ(scenario.logPath, "run/module.log");
    ASSERT_EQ(scenario.modules.size(), 2u);
    const ModuleConfig& m = scenario.modules[0];
    EXPECT_EQ(m.usbSerial, "A100");
    EXPECT_EQ(m.productString, "Tavrik IO");
    EXPECT_EQ(m.applicationPid, 0xF2F1);
    EXPECT_EQ(m.bootloaderPid, 0xF2F0);
    EXPECT_EQ(m.location, "00140000.00000000.00000001.00000003.");
    EXPECT_EQ(m.typeText, "TIO-8");
    EXPECT_EQ(m.firmwareVersion, "2.1.0");
    EXPECT_EQ(m.deviceFlags, 1);
    EXPECT_EQ(m.watchdogTime, 1700000000u);
    EXPECT_TRUE(m.watchdogReset);
    EXPECT_EQ(m.infoSerial, "X-9");
    EXPECT_EQ(m.infoName, "Rack#1");
    EXPECT_EQ(m.hardwareVersion, "C");
    EXPECT_TRUE(m.infoDamaged);
    EXPECT_EQ(m.ioConfig, (std::vector<uint8_t>{0, 0, 0, 0, 65, 1, 9}));
    EXPECT_FALSE(m.answersConfigCommand);
    EXPECT_TRUE(m.busy);
    EXPECT_TRUE(m.startInBootloader);
    EXPECT_EQ(m.restartDelayMs, 250);
    EXPECT_EQ(m.hardwareType, 7);
    EXPECT_EQ(m.bootVersionMajor, 2);
    EXPECT_EQ(m.bootVersionMinor, 10);
    ASSERT_EQ(m.initialValues.size(), 1u);
    EXPECT_EQ(m.initialValues[0].type, 0u);
    EXPECT_EQ(m.initialValues[0].index, 3u);
    EXPECT_EQ(m.initialValues[0].value, 1);
    ASSERT_EQ(m.script.size(), 5u);
    EXPECT_EQ(m.script[0].kind, ScriptedAction::SetPoint);
    EXPECT_EQ(m.script[0].afterMs, 300);
    EXPECT_EQ(m.script[0].type, 9u);
    EXPECT_EQ(m.script[0].value, 1234);
    EXPECT_EQ(m.script[1].kind, ScriptedAction::ErrorEvent);
    EXPECT_EQ(m.script[1].value, -9);
    EXPECT_EQ(m.script[2].kind, ScriptedAction::StateEvent);
    EXPECT_EQ(m.script[3].kind, ScriptedAction::Unplug);
    EXPECT_EQ(m.script[3].afterMs, 500);
    EXPECT_EQ(m.script[4].kind, ScriptedAction::Flood);
    EXPECT_EQ(m.script[4].value, 2);
    ASSERT_EQ(m.faults.size(), 6u);
    EXPECT_EQ(m.faults[0].kind, Fault::Status);
    EXPECT_EQ(m.faults[0].command, 2);
    EXPECT_EQ(m.faults[0].count, 5);
    EXPECT_EQ(m.faults[0].status, -8);
    EXPECT_EQ(m.faults[1].kind, Fault::BootNoAnswer);
    EXPECT_EQ(m.faults[1].bootCommand, 7);
    EXPECT_EQ(m.faults[2].kind, Fault::UnplugAfterProgramFrames);
    EXPECT_EQ(m.faults[2].count, 3);
    EXPECT_EQ(m.faults[3].kind, Fault::Vanish);
    EXPECT_EQ(m.faults[3].after, 4);
    EXPECT_EQ(m.faults[3].backMs, 500);
    EXPECT_EQ(m.faults[4].kind, Fault::BootVanish);
    EXPECT_EQ(m.faults[4].bootCommand, 3);
    EXPECT_EQ(m.faults[4].after, 5);
    EXPECT_EQ(m.faults[4].backMs, -1) << "gone for good unless told";
    EXPECT_FALSE(m.faults[4].writesOnly);
    EXPECT_EQ(m.faults[5].kind, Fault::NoReply);
    EXPECT_TRUE(m.faults[5].writesOnly);
}

TEST(Scenario, DefaultsAndSerials) {
    Scenario scenario;
    ScenarioError error;
    ASSERT_TRUE(
        parseScenario("[module]\n[module]\nserial =\n[module]\nserial = Q7\r\n", scenario, error))
        << describe(error);
    ASSERT_EQ(scenario.modules.size(), 3u);
    EXPECT_FALSE(scenario.logPath);
    const ModuleConfig& none = scenario.modules[0];
    EXPECT_FALSE(none.usbSerial);
    EXPECT_FALSE(none.location);
    EXPECT_EQ(none.applicationPid, 0xF713);
    EXPECT_TRUE(none.answersConfigCommand);
    EXPECT_TRUE(none.ioConfig.empty());
    EXPECT_EQ(scenario.modules[1].usbSerial, "");
    EXPECT_EQ(scenario.modules[2].usbSerial, "Q7");
    EXPECT_EQ(scenario.modules[2].infoSerial, "Q7") << "the block's serial follows the USB one";
}

TEST(Scenario, EmptyTextIsAnEmptyBus) {
    Scenario scenario;
    ScenarioError error;
    ASSERT_TRUE(parseScenario("  # nothing\n\n", scenario, error));
    EXPECT_TRUE(scenario.modules.empty());
}

struct BadCase {
    const char* text;
    int line;
    const char* message;  // part of it
};

class BadScenarioTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadScenarioTest, NamesTheLine) {
    const BadCase& c = GetParam();
    Scenario scenario;
    ScenarioError error;
    ASSERT_FALSE(parseScenario(c.text, scenario, error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_EQ(describe(error).rfind("line " + std::to_string(c.line) + ": ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadScenarioTest,
    ::testing::Values(
        BadCase{"serial = A\n", 1, "outside a [module]"},
        BadCase{"[modul]\n", 1, "unknown section"},
        BadCase{"[module]\n\nserail = A\n", 3, "unknown key 'serail'"},
        BadCase{"[module]\nserial A\n", 2, "key = value"},
        BadCase{"[module]\npid = 0x1F7130\n", 2, "not a number"},
        BadCase{"[module]\npid = 12ab\n", 2, "not a number"},
        BadCase{"[module]\nflags =\n", 2, "not a number"},
        BadCase{"[module]\nbusy = yes\n", 2, "not 0 or 1"},
        BadCase{"[module]\ntype = A\ntype = B\n", 3, "given twice"},
        BadCase{"[module]\nconfig = 0 1 256\n", 2, "'256'"},
        BadCase{"[module]\nconfig = 0\npoint = 1 0 1\n", 3, "no point 0 of type 1"},
        BadCase{"[module]\npoint = 0 0 1\nconfig = 0\n[module]\nat = 5 set 0 1 1\nconfig = 0\n", 5,
                "no point 1 of type 0"},
        BadCase{"[module]\npoint = 13 0 1\n", 2, "not a number"},
        BadCase{"[module]\npoint = 0 0\n", 2, "type index value"},
        BadCase{"[module]\nat = 5 explode\n", 2, "unknown action"},
        BadCase{"[module]\nat = 5 error\n", 2, "unknown action"},
        BadCase{"[module]\nat = -5 state\n", 2, "not a number"},
        BadCase{"[module]\nfault = gremlins\n", 2, "unknown fault"},
        BadCase{"[module]\nfault = no_reply times=3\n", 2, "unknown fault option"},
        BadCase{"[module]\nfault = no_reply status=3\n", 2, "unknown fault option"},
        BadCase{"[module]\nfault = no_reply back_ms=3\n", 2, "unknown fault option"},
        BadCase{"[module]\nfault = boot_no_answer writes=1\n", 2, "unknown fault option"},
        BadCase{"[module]\nfault = no_reply writes=2\n", 2, "is not 0 or 1"},
        BadCase{"[module]\nfault = boot_bad_crc command=0\n", 2, "not a number"},
        BadCase{"[module]\nboot_version = 2\n", 2, "major.minor"},
        BadCase{"log =\n", 1, "needs a path"},
        BadCase{"[module]\nconfig = 9 9 9 9 9 9 9\nconfig = 9 9 9 9 9 9 9\n", 3,
                "basic layout holds 27 image bytes"}));

TEST(Scenario, ExtendedLayoutHoldsLargeImages) {
    Scenario scenario;
    ScenarioError error;
    EXPECT_TRUE(parseScenario("[module]\nflags = 1\nconfig = 9 9 9 9 9 9 9 9 9 9 9 9 9 9\n",
                              scenario, error))
        << describe(error);
}

TEST(Scenario, RefusesMoreConfigurationThanAModuleHolds) {
    std::string text = "[module]\n";
    for (int i = 0; i < 5; ++i) {
        text += "config =";
        for (int j = 0; j < 52; ++j) {
            text += " 0";
        }
        text += "\n";
    }
    Scenario scenario;
    ScenarioError error;
    ASSERT_FALSE(parseScenario(text, scenario, error));
    EXPECT_EQ(error.line, 6);  // entry 256 is on the fifth config line
}

}  // namespace
}  // namespace tavrik::virt
