// tavrik_info -l with modules whose texts hold terminal controls: they reach the terminal
// escaped, everything printable as the module sent it.
#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

using TerminalTextTest = InfoProgramTest;

TEST_F(TerminalTextTest, ListingEscapesControlBytesOfModuleTexts) {
    // A clipboard write in the name, a screen clear in the firmware version, a C1 CSI in the
    // serial of the information block, a bell in the hardware version; the backslash stays.
    useModules(moduleText("A100", "1-1",
                          "info_name = Rack\x1B]52;c;aGk=\x07 \\1\n"
                          "info_serial = A1\x9B"
                          "2J\n"
                          "firmware = 2.1\x1B[2J\n"
                          "hardware = B\x07\n"
                          "config = 0"));
    const ProcessResult result = run({"-l"});
    EXPECT_EQ(result.out, std::string(kSeparatorLine) +
                              "Device   : 0\n"
                              "Index    : -1\n"  // no section holds that serial
                              "Name     : Rack\\x1B]52;c;aGk=\\x07 \\1\n"
                              "Serial   : A1\\x9B2J\n"
                              "Firmware : 2.1\\x1B[2J\n"
                              "Hardware : B\\x07\n"
                              "\ninputs [1]\n"
                              "  0 = 0\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(TerminalTextTest, OpenErrorEscapesTheSerialNumber) {
    useModules(moduleText("A\x1B[H1", "1-1", "busy = 1"));
    const ProcessResult result = run({"-l"});
    EXPECT_EQ(result.err, "Error opening device A\\x1B[H1 : Device is busy\n");
    EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
}  // namespace tavrik::test
