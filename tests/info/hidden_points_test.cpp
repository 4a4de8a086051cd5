// Points that a limit in tavrik.ini hides, and bits of codes that name no type, belong to the
// module: no command may change them, whatever it reads or writes.
#include "info_program_fixture.h"
#include "point_layout.h"
#include "tavrik_result.h"

namespace tavrik::test {
namespace {

struct HiddenPoint {
    uint32_t type;
    uint32_t index;
    int32_t value;  // as the module holds it from power-on
};

struct Layout {
    const char* name;
    std::vector<uint8_t> config;
    bool extended;
    std::vector<HiddenPoint> hidden;
};

std::vector<uint8_t> withWords(std::vector<uint8_t> head, size_t words,
                               const std::vector<uint8_t>& tail) {
    head.insert(head.end(), words, 9);  // poe_voltage words push the tail into later chunks
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// outputs=2, raidleds=1, poe_enable=1 and watchdog=0 hide what follows in each layout.
const Layout kLayouts[] = {
    {"Basic",
     // inputs 0-3, outputs 0-1, relay output 2, output 3, raidleds 0-2, poe_enable 0-1, an
     // unknown code, the watchdog word, poe_reset 0
     {0, 0, 0, 0, 1, 1, 65, 1, 4, 4, 4, 6, 6, 0x0E, 5, 7},
     false,
     {{1, 2, 0}, {1, 3, 1}, {4, 1, 0}, {4, 2, 1}, {6, 1, 0}, {5, 0, 30}}},
    {"ExtendedFirstAndLaterChunks",
     // first chunk: inputs, outputs 0-1, relay output 2, raidleds 0-1, poe_enable 0-1, an
     // unknown code, watchdog 0; then 60 bytes of words; then outputs 3-4, raidled 2,
     // poe_enable 2, watchdog 1, another unknown code, poe_reset 0
     withWords({0, 0, 1, 1, 65, 4, 4, 6, 6, 0x30, 5}, 30, {1, 1, 4, 6, 5, 0x30, 7}),
     true,
     {{1, 2, 0},
      {1, 3, 1},
      {1, 4, 0},
      {4, 1, 0},
      {4, 2, 1},
      {6, 1, 0},
      {6, 2, 1},
      {5, 0, 30},
      {5, 1, 600}}},
};

const char kLimits[] = "[device0]\nserial=A100\noutputs=2\nraidleds=1\npoe_enable=1\nwatchdog=0\n";

struct Command {
    std::vector<std::string> args;
    std::string input;
};

const Command kCommands[] = {
    {{"-l"}, ""},
    {{"-i", "0", "0"}, ""},
    {{"-o", "0", "1", "1"}, ""},
    {{"-e", "0"}, "\n"},
};

void PrintTo(const Layout& layout, std::ostream* os) {
    *os << layout.name;
}

void PrintTo(const Command& command, std::ostream* os) {
    *os << command.args[0];
}

std::string moduleLines(const Layout& layout) {
    std::string text = std::string("flags = ") + (layout.extended ? "1" : "0") + "\nconfig =";
    for (uint8_t code : layout.config) {
        text += " " + std::to_string(code);
    }
    for (const HiddenPoint& p : layout.hidden) {
        text += "\npoint = " + std::to_string(p.type) + " " + std::to_string(p.index) + " " +
                std::to_string(p.value);
    }
    return text;
}

class HiddenPoints : public InfoProgramTest,
                     public ::testing::WithParamInterface<std::tuple<Layout, Command>> {};

TEST_P(HiddenPoints, KeepTheirValuesOnTheModule) {
    const auto& [layout, command] = GetParam();
    writeConfig(kLimits);
    useModules(moduleText("A100", "1-1", moduleLines(layout)));
    const ProcessResult result = run(command.args, command.input);
    ASSERT_EQ(result.exitStatus, 0) << result.err;

    for (const HiddenPoint& p : layout.hidden) {
        EXPECT_EQ(finalValue("A100", layout.config, p.type, p.index, layout.extended), p.value)
            << ioTypeName(p.type) << "[" << p.index << "]";
    }
    const std::vector<uint8_t> image = finalImage("A100");
    for (uint32_t bit : virt::layoutFor(layout.config, layout.extended).unknownBits) {
        ASSERT_LT(bit / 8, image.size());
        EXPECT_EQ((image[bit / 8] >> (bit % 8)) & 1, 1) << "bit " << bit << " of an unknown code";
    }
    if (command.args[0] == "-o") {
        EXPECT_EQ(finalValue("A100", layout.config, Outputs, 1, layout.extended), 1)
            << "the visible output was written";
    }
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Layout, Command>>& info) {
    const std::string option = std::get<1>(info.param).args[0];
    return std::string(std::get<0>(info.param).name) + "_" + option.substr(1);
}

INSTANTIATE_TEST_SUITE_P(Commands, HiddenPoints,
                         ::testing::Combine(::testing::ValuesIn(kLayouts),
                                            ::testing::ValuesIn(kCommands)),
                         caseName);

}  // namespace
}  // namespace tavrik::test
