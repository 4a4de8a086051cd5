// tavrik_info against modules that stop answering, leave, fail every exchange or flood the host
// with messages: -o reports success only when the module took the value, and nothing hangs.
#include "info_program_fixture.h"
#include "tavrik_result.h"

namespace tavrik::test {
namespace {

const std::vector<uint8_t> kConfig = {0, 0, 0, 0, 65, 1};
const char kConfigLine[] = "config = 0 0 0 0 65 1";
const char kSetLine[] = "Setting device[0] outputs[1] to 1\n";

struct SetCase {
    const char* name;
    std::string module;  // scenario lines after the configuration
    std::string err;
    int exitStatus;
    int32_t finalOutput;  // outputs[1] as the module holds it at the end
};

void PrintTo(const SetCase& c, std::ostream* os) {
    *os << c.name;
}

class SetOutputOnMisbehavingModule : public InfoProgramTest,
                                     public ::testing::WithParamInterface<SetCase> {};

TEST_P(SetOutputOnMisbehavingModule, SucceedsOnlyWhenTheModuleTookTheValue) {
    const SetCase& c = GetParam();
    if (throughService() && c.module.find("after=") != std::string::npos) {
        // The fault counts the exchanges of the program's own opening; through the service it
        // would strike the service's at some other moment.
        GTEST_SKIP() << "counts the exchanges of a direct open";
    }
    useModules(moduleText("A100", "1-1", std::string(kConfigLine) + "\n" + c.module));
    const ProcessResult result = run({"-o", "0", "1", "1"});
    // The line is written once the device holds the value, as before; the verdict follows it.
    EXPECT_EQ(result.out, kSetLine);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(finalValue("A100", kConfig, Outputs, 1), c.finalOutput);
}

// Four state exchanges precede the one that carries the value: the device list's look at the
// module, the one at open, the API thread's first and its first poll.
INSTANTIATE_TEST_SUITE_P(
    Cases, SetOutputOnMisbehavingModule,
    ::testing::Values(SetCase{"Removed", "fault = vanish command=2 after=4",
                              "Error setting output: Communication timeout\n", 255, 0},
                      SetCase{"Silent", "fault = no_reply command=2 count=1000 after=4",
                              "Error setting output: Communication timeout\n", 255, 0},
                      SetCase{"StatusErrorFiveTimes",
                              "fault = status command=2 count=5 status=-8 after=4",
                              "Error setting output: Specified command invalid\n", 255, 0},
                      // The retry rule still gets the value through on the fifth attempt.
                      SetCase{"StatusErrorFourTimes",
                              "fault = status command=2 count=4 status=-8 after=4", "", 0, 1},
                      SetCase{"FloodingStateEvents", "at = 0 flood 2", "", 0, 1}),
    [](const ::testing::TestParamInfo<SetCase>& info) { return std::string(info.param.name); });

using MisbehavingModule = InfoProgramTest;

// A module that sends a state event every 2 ms must not keep the listener from ending.
TEST_F(MisbehavingModule, ListenerEndsOnEnterDuringAFlood) {
    useModules(moduleText("A100", "1-1", std::string(kConfigLine) + "\nat = 0 flood 2"));
    const auto listener = start({"-e", "0"});
    ASSERT_TRUE(listener->waitForOutput(kListenPrompt, 20000)) << listener->out();
    // Long enough for the flood to be under way.
    ASSERT_FALSE(listener->waitForOutput("never printed", 300));
    const ProcessResult result = listener->finish();
    const std::vector<std::string> lines = splitLines(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back() + "\n", kThreadStoppedLine);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_GT(requestCount(2, 1), 0u);
}

}  // namespace
}  // namespace tavrik::test
