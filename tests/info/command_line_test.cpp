// tavrik_info's command line: help, version, number arguments and their counts.
#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

const char kHelp[] =
    "Tavrik device info\n"
    "------------------------------------------\n"
    "-h : print help\n"
    "-v : print application version\n"
    "-l : list available device information\n"
    "-e : listen for events on device <dev>\n"
    "-o : set output state <dev> <output> <value> [type]\n"
    "-i : read io state <dev> <iopoint> [type]\n"
    "\n\t[type] is optional and can be one of:\n"
    "\t  0 = inputs\n"
    "\t  1 = outputs\n"
    "\t  2 = buttons\n"
    "\t  3 = psalarms\n"
    "\t  4 = raidleds\n"
    "\t  5 = watchdog\n"
    "\t  6 = poe_enable\n"
    "\t  7 = poe_reset\n"
    "\t  8 = poe_status\n"
    "\t  9 = poe_voltage\n"
    "\t  10 = poe_current\n"
    "\t  11 = poe_temperature\n"
    "\t  12 = poe_maxpower\n"
    "\n\texample: tavrik_info -o 0 0 1\n"
    "\n";

struct CommandLineCase {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int exitStatus;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) {
    *os << "tavrik_info";
    for (const std::string& arg : c.args) {
        *os << " '" << arg << "'";
    }
}

class CommandLine : public InfoProgramTest,
                    public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLine, PrintsAndExitsAsExpected) {
    const CommandLineCase& c = GetParam();
    const ProcessResult result = run(c.args);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
}

// -1 from the entry point reaches the shell as 255.
constexpr int kFailed = 255;

INSTANTIATE_TEST_SUITE_P(
    Help, CommandLine,
    ::testing::Values(CommandLineCase{{}, kHelp, "", 0}, CommandLineCase{{""}, kHelp, "", 0},
                      CommandLineCase{{"-h"}, kHelp, "", 0},
                      CommandLineCase{{"-h", "5", "7"}, kHelp, "", 0},
                      CommandLineCase{{"-h", "x"}, "", "Invalid argument for -h option\n", kFailed},
                      CommandLineCase{{"", "0x"}, "", "Invalid argument for  option\n", kFailed}));

INSTANTIATE_TEST_SUITE_P(
    Version, CommandLine,
    ::testing::Values(CommandLineCase{{"-v"}, "version: 1.2.3\n", "", 0},
                      CommandLineCase{{"-v", "1", "2", "3", "4"}, "version: 1.2.3\n", "", 0},
                      CommandLineCase{
                          {"-v", "-"}, "", "Invalid argument for -v option\n", kFailed}));

INSTANTIATE_TEST_SUITE_P(
    UnknownOption, CommandLine,
    ::testing::Values(CommandLineCase{{"-x", "1"}, "", "Invalid command line arguments\n", kFailed},
                      CommandLineCase{{"-x", "y"}, "", "Invalid argument for -x option\n", kFailed},
                      CommandLineCase{{"-H"}, "", "Invalid command line arguments\n", kFailed},
                      CommandLineCase{{"-hx"}, "", "Invalid command line arguments\n", kFailed},
                      CommandLineCase{{"-"}, "", "Invalid command line arguments\n", kFailed}));

CommandLineCase wrongCount(const std::vector<std::string>& args) {
    return {args, "", "Invalid number of arguments for " + args[0] + " option\n", kFailed};
}

INSTANTIATE_TEST_SUITE_P(ArgumentCount, CommandLine,
                         ::testing::Values(wrongCount({"-e"}), wrongCount({"-e", "0", "1"}),
                                           wrongCount({"-o", "0", "0"}),
                                           wrongCount({"-o", "0", "0", "1", "2", "3"}),
                                           wrongCount({"-i", "0"}),
                                           wrongCount({"-i", "0", "1", "2", "3"})));

INSTANTIATE_TEST_SUITE_P(
    Numbers, CommandLine,
    ::testing::Values(
        CommandLineCase{{"-i", "0", "2147483648"}, "", "Invalid argument for -i option\n", kFailed},
        CommandLineCase{{"-i", "0", "0x"}, "", "Invalid argument for -i option\n", kFailed},
        // Numbers are all read before their count is checked.
        CommandLineCase{{"-e", "1", "z"}, "", "Invalid argument for -e option\n", kFailed}));

// Without modules: the listing says so and succeeds, a device command fails.
INSTANTIATE_TEST_SUITE_P(
    NoModules, CommandLine,
    ::testing::Values(
        CommandLineCase{{"-l"}, "No Tavrik devices found or all devices busy\n", "", 0},
        CommandLineCase{{"-l", "3"}, "No Tavrik devices found or all devices busy\n", "", 0},
        CommandLineCase{{"-i", "0", "0"}, "", "Device 0 not available\n", kFailed},
        CommandLineCase{{"-e", "0"}, "", "Device 0 not available\n", kFailed}));

}  // namespace
}  // namespace tavrik::test
