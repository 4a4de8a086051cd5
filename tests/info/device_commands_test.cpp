// tavrik_info -i, -o and the device number check of -e, against one module with 8 inputs,
// a relay and a plain output, and 17 RAID LEDs.
#include <optional>

#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

const std::vector<uint8_t> kConfig = {0, 0, 0, 0, 0, 0, 0, 0, 65, 1, 4, 4, 4, 4,
                                      4, 4, 4, 4, 4, 4, 4, 4, 4,  4, 4, 4, 4};

std::string configLine() {
    std::string line = "config =";
    for (uint8_t code : kConfig) {
        line += " " + std::to_string(code);
    }
    return line;
}

struct Point {
    uint32_t type;
    uint32_t index;
    int32_t value;
};

struct CommandCase {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int exitStatus;
    bool started;                // whether the module's API thread ran
    std::optional<Point> final;  // a point as the module holds it at the end
};

void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << "tavrik_info";
    for (const std::string& arg : c.args) {
        *os << " " << arg;
    }
}

class DeviceCommand : public InfoProgramTest, public ::testing::WithParamInterface<CommandCase> {
  protected:
    void SetUp() override {
        InfoProgramTest::SetUp();
        useModules(moduleText("A100", "1-1", configLine() + "\npoint = 0 0 1"));
    }
};

TEST_P(DeviceCommand, PrintsAndReachesTheModule) {
    const CommandCase& c = GetParam();
    const ProcessResult result = run(c.args);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    // The API thread's keep-alive is a status request with mode 1. Through the service its
    // own thread always runs, whatever the command did.
    if (!throughService()) {
        EXPECT_EQ(requestCount(1, 1) > 0, c.started);
    }
    if (c.final) {
        EXPECT_EQ(finalValue("A100", kConfig, c.final->type, c.final->index), c.final->value);
    }
}

constexpr int kFailed = 255;

INSTANTIATE_TEST_SUITE_P(
    SetOutput, DeviceCommand,
    ::testing::Values(
        CommandCase{{"-o", "0", "0", "1"},
                    "Setting device[0] outputs[0] to 1\n",
                    "",
                    0,
                    true,
                    Point{1, 0, 1}},
        CommandCase{{"-o", "0", "0x10", "1", "4"},
                    "Setting device[0] raidleds[16] to 1\n",
                    "",
                    0,
                    true,
                    Point{4, 16, 1}},
        CommandCase{{"-o", "0", "3", "1", "0"},
                    "",
                    "inputs[3] is not an output\n",
                    kFailed,
                    false,
                    std::nullopt},
        CommandCase{{"-o", "0", "0", "1", "13"},
                    "",
                    "Unknown IO Type[0] is not an output\n",
                    kFailed,
                    false,
                    std::nullopt},
        CommandCase{
            {"-o", "5", "0", "1"}, "", "Device 5 not available\n", kFailed, false, Point{1, 0, 0}},
        CommandCase{
            {"-o", "-1", "0", "1"}, "", "Device -1 not available\n", kFailed, false, std::nullopt},
        CommandCase{{"-o", "0", "2", "1"},
                    "",
                    "Error setting output: IO point number outside range\n",
                    kFailed,
                    true,
                    std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    ReadPoint, DeviceCommand,
    ::testing::Values(
        CommandCase{{"-i", "0", "0"}, "1\n", "", 0, true, std::nullopt},
        CommandCase{{"-i", "0", "1"}, "0\n", "", 0, true, std::nullopt},
        CommandCase{{"-i", "0", "0", "1"}, "0\n", "", 0, true, std::nullopt},
        CommandCase{{"-i", "0", "99"},
                    "",
                    "Error getting io state: IO point number outside range\n",
                    kFailed,
                    true,
                    std::nullopt},
        CommandCase{{"-i", "0", "-1"},
                    "",
                    "Error getting io state: IO point number outside range\n",
                    kFailed,
                    true,
                    std::nullopt},
        CommandCase{
            {"-i", "1", "0"}, "", "Device 1 not available\n", kFailed, false, std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    ListenDeviceNumber, DeviceCommand,
    ::testing::Values(
        CommandCase{{"-e", "3"}, "", "Device 3 not available\n", kFailed, false, std::nullopt},
        CommandCase{{"-e", "-1"}, "", "Device -1 not available\n", kFailed, false, std::nullopt}));

TEST_F(InfoProgramTest, OpenFailureOfTheChosenModuleIsReported) {
    // Busy when the command opens it, after the list has been built.
    useModules(moduleText("A100", "1-1", "busy = 1"));
    const ProcessResult result = run({"-i", "0", "0"});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error opening device A100 : Device is busy\n");
    EXPECT_EQ(result.exitStatus, kFailed);
}

}  // namespace
}  // namespace tavrik::test
