// The attached modules as the list functions show them, on both paths: the service holds the
// application module there, which changes nothing of what is listed.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "scenario_environment.h"
#include "tavrik/tavrik.h"

namespace tavrik {
namespace {

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new test::ScenarioEnvironment(
    "[module]\nserial = L-A\nlocation = 1-2\nproduct = Tavrik IO\n"
    "[module]\nserial = L-B\nlocation = 1-1\nproduct = Tavrik Boot\nbootloader = 1\n"));

// First, so that tavrik.ini does not exist yet: the listing without opening leaves it alone,
// devices() records the new module, as the tools do for an administrator.
TEST(ModuleList, AttachedModulesAreListedWithoutOpeningOrRecordingThem) {
    const std::vector<ModuleInfo> attached = attachedModules();
    ASSERT_EQ(attached.size(), 2u);
    EXPECT_EQ(attached[0].serial, "L-B");
    EXPECT_EQ(attached[0].mode, Mode::Bootloader);
    EXPECT_EQ(attached[0].productString, "Tavrik Boot");
    EXPECT_EQ(attached[1].serial, "L-A");
    EXPECT_EQ(attached[1].mode, Mode::Application);
    EXPECT_EQ(attached[1].productString, "Tavrik IO");
    for (const ModuleInfo& m : attached) {
        EXPECT_FALSE(m.location.empty()) << m.serial;
        EXPECT_FALSE(m.path.empty()) << m.serial;
    }
    EXPECT_NE(attached[0].location, attached[1].location);
    EXPECT_FALSE(std::filesystem::exists(test::kConfigFile));

    // A module in use is still attached: the listing does not depend on opening it.
    Device dev;
    ASSERT_EQ(dev.open("L-A"), Ok);
    EXPECT_EQ(attachedModules(), attached);
    dev.close();

    EXPECT_EQ(devices(), std::vector<std::string>{"L-A"});
    EXPECT_TRUE(std::filesystem::exists(test::kConfigFile));
}

TEST(ModuleList, SerialsByMode) {
    struct Case {
        Mode mode;
        std::vector<std::string> serials;
    };
    for (const Case& c : {Case{Mode::Application, {"L-A"}}, Case{Mode::Bootloader, {"L-B"}},
                          Case{Mode::Either, {"L-B", "L-A"}}}) {
        EXPECT_EQ(serials(c.mode), c.serials) << static_cast<int>(c.mode);
    }
}

}  // namespace
}  // namespace tavrik
