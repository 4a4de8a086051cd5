// The commented example tavrik.ini that is installed with the documentation: as shipped it
// changes nothing, and with its keys uncommented every key is one the programs read, with the
// value the comments promise.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "config_file.h"

namespace tavrik {
namespace {

std::string exampleText() {
    std::ifstream file(TAVRIK_EXAMPLE_CONFIG);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// "; key = value" lines become "key = value"; the prose of the header keeps its comments.
std::string uncommented(const std::string& text) {
    return std::regex_replace(text, std::regex("^; ([a-z_]+ = )", std::regex::multiline), "$1");
}

class ExampleConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavrik-example-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        ::close(fd);
        path_ = pattern;
    }
    void TearDown() override { std::remove(path_.c_str()); }

    ConfigFile fileWith(const std::string& text) {
        std::ofstream(path_, std::ios::trunc) << text;
        return ConfigFile(path_);
    }

    std::string path_;
};

TEST_F(ExampleConfig, AsShippedChangesNothing) {
    const std::string text = exampleText();
    ASSERT_FALSE(text.empty()) << TAVRIK_EXAMPLE_CONFIG;
    const ConfigFile config = fileWith(text);
    for (const int index : {-1, 0, 1, 2}) {
        const ModuleSettings settings = config.readModuleSettings(index);
        EXPECT_EQ(settings.name, "") << index;
        for (uint32_t type = 0; type < kIoTypeCount; ++type) {
            EXPECT_EQ(settings.limits[type], -1) << index << " " << ioTypeName(type);
        }
    }
    EXPECT_EQ(config.findIndex("KT-0001"), -1);
}

TEST_F(ExampleConfig, EveryKeyIsReadOnceUncommented) {
    const std::string text = uncommented(exampleText());
    std::set<std::string> known = {"serial", "type", "name"};
    for (uint32_t type = 0; type < kIoTypeCount; ++type) {
        known.insert(ioTypeName(type));
    }
    // Every key it shows is one the programs read, and it shows a limit for every IO type.
    std::set<std::string> shown;
    const std::regex key("^([a-z_]+) = ", std::regex::multiline);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), key);
         it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(known.count((*it)[1]), 1u) << "unknown key " << (*it)[1];
        shown.insert((*it)[1]);
    }
    EXPECT_EQ(shown, known);

    const ConfigFile config = fileWith(text);
    EXPECT_EQ(config.findIndex("KT-0001"), 0);
    EXPECT_EQ(config.findIndex("KT-0002"), 1);
    const ModuleSettings first = config.readModuleSettings(0);
    EXPECT_EQ(first.name, "Rack A doors");
    EXPECT_EQ(first.limits[Inputs], 4);
    EXPECT_EQ(first.limits[PoeVoltage], -1);
    const ModuleSettings second = config.readModuleSettings(1);
    EXPECT_EQ(second.limits[PoeVoltage], 0);
    EXPECT_EQ(second.limits[Inputs], -1);
    EXPECT_EQ(config.readModuleSettings(-1).name, "Unassigned module");
}

}  // namespace
}  // namespace tavrik
