// tavrik_info -l across runs: which index each module gets, the list order that follows from
// it, and when the assignment is recorded in tavrik.ini.
#include "config_file.h"
#include "info_program_fixture.h"

namespace tavrik::test {
namespace {

class IndexAssignment : public InfoProgramTest {
  protected:
    // The serial and index of each listed block, in listing order.
    struct Listed {
        std::vector<std::string> serials;
        std::vector<std::string> indexes;
    };

    Listed list(const ProcessResult& result) {
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exitStatus, 0);
        Listed listed;
        for (const std::string& line : splitLines(result.out)) {
            if (line.rfind("Serial   : ", 0) == 0) {
                listed.serials.push_back(line.substr(11));
            } else if (line.rfind("Index    : ", 0) == 0) {
                listed.indexes.push_back(line.substr(11));
            }
        }
        return listed;
    }

    std::string recorded(int index, const char* key) {
        return ConfigFile(configPath()).readString(sectionName(index), key, "<none>");
    }

    static std::string tenSectionsOfType(const std::string& type) {
        std::string text;
        for (int i = 0; i < 10; ++i) {
            text += "[device" + std::to_string(i) + "]\nserial=OLD" + std::to_string(i) +
                    "\ntype=" + type + "\n";
        }
        return text;
    }
};

using Serials = std::vector<std::string>;

TEST_F(IndexAssignment, NewModulesTakeIndexesInLocationOrderAndAreRecorded) {
    // Enumerated in another order than their locations.
    useModules(moduleText("C3", "1-3") + moduleText("A1", "1-1") + moduleText("B2", "1-2"));
    const Listed listed = list(run({"-l"}));
    EXPECT_EQ(listed.serials, (Serials{"A1", "B2", "C3"}));
    EXPECT_EQ(listed.indexes, (Serials{"0", "1", "2"}));
    const char* serials[] = {"A1", "B2", "C3"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(recorded(i, "serial"), serials[i]);
        EXPECT_EQ(recorded(i, "type"), "TIO-8");
    }
    EXPECT_EQ(recorded(3, "serial"), "<none>");

    // The next run finds them again by serial, whatever their places now.
    useModules(moduleText("C3", "1-1") + moduleText("A1", "1-2") + moduleText("B2", "1-3"));
    EXPECT_EQ(list(run({"-l"})).serials, (Serials{"A1", "B2", "C3"}));
}

TEST_F(IndexAssignment, RecordedIndexFourIsListedAfterTheNewModulesWithZeroToThree) {
    writeConfig("[device4]\nserial=D4\ntype=TIO-8\n");
    useModules(moduleText("D4", "1-1") + moduleText("N1", "1-2") + moduleText("N2", "1-3") +
               moduleText("N3", "1-4") + moduleText("N4", "1-5"));
    const Listed listed = list(run({"-l"}));
    EXPECT_EQ(listed.serials, (Serials{"N1", "N2", "N3", "N4", "D4"}));
    EXPECT_EQ(listed.indexes, (Serials{"0", "1", "2", "3", "4"}));
}

TEST_F(IndexAssignment, SectionOfAnotherTypeIsNotTakenOver) {
    writeConfig("[device0]\nserial=OLD\ntype=TIO-16\n");
    useModules(moduleText("NEW", "1-1"));
    EXPECT_EQ(list(run({"-l"})).indexes, (Serials{"1"}));
    EXPECT_EQ(recorded(0, "serial"), "OLD");
    EXPECT_EQ(recorded(1, "serial"), "NEW");
    EXPECT_EQ(recorded(1, "type"), "TIO-8");
}

TEST_F(IndexAssignment, ModuleOfTheSameTypeInheritsAnAbsentModulesIndex) {
    writeConfig("[device0]\nserial=OLD\ntype=TIO-8\nname=Front rack\n");
    useModules(moduleText("NEW", "1-1"));
    const ProcessResult result = run({"-l"});
    EXPECT_NE(result.out.find("Index    : 0\nName     : Front rack\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(recorded(0, "serial"), "NEW");
}

TEST_F(IndexAssignment, WithAllTenTakenANewModuleKeepsMinusOneAndIsListedFirst) {
    const std::string config = tenSectionsOfType("TIO-16");
    writeConfig(config);
    useModules(moduleText("OLD3", "1-1", "type = TIO-16") + moduleText("NEW", "1-2"));
    const Listed listed = list(run({"-l"}));
    EXPECT_EQ(listed.serials, (Serials{"NEW", "OLD3"}));
    EXPECT_EQ(listed.indexes, (Serials{"-1", "3"}));
    EXPECT_EQ(readConfig(), config);
}

// Two administrators' runs at once: the file ends up whole, with every key it held before and
// each new module recorded once.
TEST_F(IndexAssignment, TwoRunsAtOnceLeaveTheFileWhole) {
    writeConfig("; kept by hand\n[device5]\nserial=KEEP\ntype=TIO-16\nname=Spare\n");
    useModules(moduleText("A1", "1-1") + moduleText("B2", "1-2") + moduleText("C3", "1-3"));
    const auto first = start({"-l"});
    const auto second = start({"-l"});
    EXPECT_EQ(first->finish().exitStatus, 0);
    EXPECT_EQ(second->finish().exitStatus, 0);

    const std::string text = readConfig();
    EXPECT_EQ(text.rfind("; kept by hand\n[device5]\n", 0), 0u) << text;
    EXPECT_EQ(recorded(5, "serial"), "KEEP");
    EXPECT_EQ(recorded(5, "name"), "Spare");
    const char* serials[] = {"A1", "B2", "C3"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(recorded(i, "serial"), serials[i]) << text;
        EXPECT_EQ(recorded(i, "type"), "TIO-8") << text;
        const std::string line = std::string("serial=") + serials[i] + "\n";
        EXPECT_EQ(text.find(line), text.rfind(line)) << serials[i] << " twice in:\n" << text;
    }
}

#ifndef _WIN32
TEST_F(IndexAssignment, RunWithoutWriteAccessNeverWritesTheFile) {
    useModules(moduleText("A1", "1-1") + moduleText("B2", "1-2"), false);

    Listed listed = list(runUnprivileged({"-l"}));
    EXPECT_EQ(listed.serials, (Serials{"A1", "B2"}));
    // Ordered by the assigned index, which is not recorded, so the module reports none.
    EXPECT_EQ(listed.indexes, (Serials{"-1", "-1"}));
    EXPECT_FALSE(configExists());

    const std::string config = "[device1]\nserial=OTHER\ntype=TIO-8\n";
    writeConfig(config);
    listed = list(runUnprivileged({"-l"}));
    EXPECT_EQ(listed.serials, (Serials{"A1", "B2"}));
    EXPECT_EQ(readConfig(), config);
}
#endif

}  // namespace
}  // namespace tavrik::test
