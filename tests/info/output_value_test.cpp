// tavrik_info -o with values that a one-bit output cannot carry: refused before anything is
// sent, while 0 and 1 still switch it. The output starts on, so a refused value whose low bit
// is 0 would show as the output switched off if it went out.
#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

const std::vector<uint8_t> kConfig = {0, 1, 1};

struct OutputValueCase {
    std::string value;
    std::string out;
    std::string err;
    int exitStatus;
    int32_t final;  // output 0 as the module holds it at the end
};

void PrintTo(const OutputValueCase& c, std::ostream* os) {
    *os << "tavrik_info -o 0 0 " << c.value;
}

class OutputValue : public InfoProgramTest, public ::testing::WithParamInterface<OutputValueCase> {
  protected:
    void SetUp() override {
        InfoProgramTest::SetUp();
        useModules(moduleText("A100", "1-1", "config = 0 1 1\npoint = 1 0 1"));
    }
};

TEST_P(OutputValue, OnlyZeroAndOneReachTheModule) {
    const OutputValueCase& c = GetParam();
    const ProcessResult result = run({"-o", "0", "0", c.value});
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(finalValue("A100", kConfig, 1, 0), c.final);
    EXPECT_EQ(finalValue("A100", kConfig, 1, 1), 0);
}

const char kRefused[] = "Error setting output: invalid parameter value\n";

INSTANTIATE_TEST_SUITE_P(
    OneBitOutput, OutputValue,
    ::testing::Values(OutputValueCase{"0", "Setting device[0] outputs[0] to 0\n", "", 0, 0},
                      OutputValueCase{"1", "Setting device[0] outputs[0] to 1\n", "", 0, 1},
                      OutputValueCase{"2", "", kRefused, 255, 1},
                      OutputValueCase{"4", "", kRefused, 255, 1},
                      OutputValueCase{"-1", "", kRefused, 255, 1},
                      OutputValueCase{"0x10000", "", kRefused, 255, 1}));

}  // namespace
}  // namespace tavrik::test
