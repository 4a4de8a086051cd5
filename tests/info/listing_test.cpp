// tavrik_info -l: the layout of each module's block.
#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

using ListingTest = InfoProgramTest;

TEST_F(ListingTest, BusyModuleGetsItsSeparatorAndAnErrorThenTheNextBlockFollows) {
    writeConfig("[device1]\nserial=B200\ntype=TIO-8\n");
    useModules(moduleText("A100", "1-1", "busy = 1") +
               moduleText("B200", "1-2",
                          "info_name = Rack 2\nconfig = 0 0 65 1\npoint = 0 1 1\npoint = 1 1 1"));
    const ProcessResult result = run({"-l"});
    EXPECT_EQ(result.out, std::string(kSeparatorLine) + kSeparatorLine +
                              "Device   : 1\n"
                              "Index    : 1\n"
                              "Name     : Rack 2\n"
                              "Serial   : B200\n"
                              "Firmware : 2.1.0\n"
                              "Hardware : B\n"
                              "\ninputs [2]\n"
                              "  0 = 0\n"
                              "  1 = 1\n"
                              "\noutputs [2]\n"
                              "  0 = 0 (relay)\n"
                              "  1 = 1\n");
    EXPECT_EQ(result.err, "Error opening device A100 : Device is busy\n");
    EXPECT_EQ(result.exitStatus, 0);
}

struct BlockCase {
    const char* name;
    std::string module;  // extra lines of the one module
    std::string shown;   // a part of the block
    std::string absent;  // text the block must not hold; empty for none
};

class ModuleBlock : public InfoProgramTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(ModuleBlock, ShowsWhatTheModuleReports) {
    useModules(moduleText("A100", "1-1", GetParam().module));
    const ProcessResult result = run({"-l"});
    EXPECT_NE(result.out.find(GetParam().shown), std::string::npos) << result.out;
    if (!GetParam().absent.empty()) {
        EXPECT_EQ(result.out.find(GetParam().absent), std::string::npos) << result.out;
    }
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Listing, ModuleBlock,
    ::testing::Values(
        // The information block reports a serial that no section of the file holds.
        BlockCase{"NoIndex", "info_serial = X-9", "Device   : 0\nIndex    : -1\n", ""},
        BlockCase{"WatchdogTime", "watchdog_time = 1\nconfig = 0",
                  "Hardware : B\nwatchdog : Thu Jan 01 00:00:01 1970\n\n\ninputs [1]\n", ""},
        BlockCase{"NoWatchdogTime", "config = 0", "Hardware : B\n\ninputs [1]\n", "watchdog"},
        BlockCase{"WithoutPoe", "config = 0 1 4 4", "\nraidleds [2]\n  0 = 0\n  1 = 0\n", "poe_"},
        BlockCase{"PoeStatusWords",
                  "config = 8 8 9\npoint = 8 0 0x69\npoint = 8 1 0xF00\npoint = 9 0 480",
                  "\npoe_status [2]\n  0 = class1 enabled present powered\n"
                  "  1 = class0 overcurrent overpower undervoltage overtemp\n"
                  "\npoe_voltage [1]\n  0 = 480\n",
                  ""}),
    [](const ::testing::TestParamInfo<BlockCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tavrik::test
