// tavrik_info -l with odd things in place of tavrik.ini: the module is always listed, with the
// defaults where the file says nothing usable, and nothing hangs or crashes.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

struct FileCase {
    const char* name;
    std::string text;  // written as tavrik.ini unless make is set
    void (*make)(const std::string& path);
    std::string nameLine;     // the module's "Name" line
    std::string outputsLine;  // the header of its outputs
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kLimitedToTwo = "[device0]\nserial=A100\noutputs=2\n";

std::string withLimit(const std::string& limit) {
    return "[device0]\nserial=A100\noutputs=" + limit + "\n";
}

class OddConfigFile : public InfoProgramTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(OddConfigFile, ModuleIsListedWithTheDefaultsItDoesNotOverride) {
    const FileCase& c = GetParam();
    if (c.make != nullptr) {
        c.make(configPath());
    } else {
        writeConfig(c.text);
    }
    useModules(moduleText("A100", "1-1", "config = 0 0 65 1 1 1\ninfo_name = Rack"));
    const ProcessResult result = run({"-l"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
    const std::vector<std::string> lines = splitLines(result.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Serial   : A100"), lines.end()) << result.out;
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.nameLine), lines.end()) << result.out;
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.outputsLine), lines.end()) << result.out;
}

std::vector<FileCase> fileCases() {
    std::vector<FileCase> cases = {
        FileCase{"Empty", "", nullptr, "Name     : Rack", "outputs [4]"},
        FileCase{"BinaryGarbage", std::string("\0\xff\x01[dev\0ice0]\n\xfe=\x80\n", 16), nullptr,
                 "Name     : Rack", "outputs [4]"},
        FileCase{"FirstOfDuplicateSectionsAndKeys",
                 kLimitedToTwo + "outputs=1\n[device0]\nserial=A100\noutputs=3\n", nullptr,
                 "Name     : Rack", "outputs [2]"},
        FileCase{"NonNumericLimit", withLimit("many"), nullptr, "Name     : Rack", "outputs [4]"},
        FileCase{"LimitAboveTheCount", withLimit("99"), nullptr, "Name     : Rack", "outputs [4]"},
        FileCase{"NegativeLimit", withLimit("-5"), nullptr, "Name     : Rack", "outputs [4]"},
        FileCase{"NameOf300Characters",
                 "[device0]\nserial=A100\nname=" + std::string(300, 'n') + "\n", nullptr,
                 "Name     : " + std::string(255, 'n'), "outputs [4]"}};
#ifndef _WIN32
    // Windows reads the file through its profile functions, which take what a FIFO or a huge
    // file gives them; the bounds are the Linux reader's.
    const FileCase posixOnly[] = {
        FileCase{"Fifo", "",
                 [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); },
                 "Name     : Rack", "outputs [4]"},
        FileCase{"TenMegabytes", "",
                 [](const std::string& path) {
                     std::string text = kLimitedToTwo;
                     text.resize(10 << 20, ';');
                     std::ofstream(path, std::ios::binary) << text;
                 },
                 "Name     : Rack", "outputs [4]"}};
    cases.insert(cases.end(), std::begin(posixOnly), std::end(posixOnly));
#endif
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, OddConfigFile, ::testing::ValuesIn(fileCases()),
                         [](const ::testing::TestParamInfo<FileCase>& info) {
                             return std::string(info.param.name);
                         });

#ifndef _WIN32
TEST_F(OddConfigFile, FifoAndHugeFileAreLeftAsTheyWere) {
    useModules(moduleText("A100", "1-1"));
    ASSERT_EQ(::mkfifo(configPath().c_str(), 0644), 0);
    EXPECT_EQ(run({"-l"}).exitStatus, 0);
    EXPECT_TRUE(std::filesystem::is_fifo(configPath()));
    std::filesystem::remove(configPath());

    writeConfig(std::string(10 << 20, ';'));
    EXPECT_EQ(run({"-l"}).exitStatus, 0);
    EXPECT_EQ(std::filesystem::file_size(configPath()), 10u << 20);
}
#endif

}  // namespace
}  // namespace tavrik::test
