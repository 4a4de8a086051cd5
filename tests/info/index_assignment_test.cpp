// tavrik_info -l across runs: which index each module gets, the list order that follows from
// it, and when the assignment is recorded in tavrik.ini.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <filesystem>

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

// Serials that the file's reader would change if they stood in it as they are: each module
// finds its own section again on the next run, which then has nothing to record.
TEST_F(IndexAssignment, AwkwardSerialsAreRecordedAsTheyAreAndFoundAgain) {
    const Serials serials = {"\"Q1\"", "'Q2'", "[device5]", "a;b=c"};
    std::string modules;
    for (size_t i = 0; i < serials.size(); ++i) {
        modules += moduleText(serials[i], "1-" + std::to_string(i + 1));
    }
    useModules(modules);
    Listed listed = list(run({"-l"}));
    EXPECT_EQ(listed.serials, serials);
    EXPECT_EQ(listed.indexes, (Serials{"0", "1", "2", "3"}));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(recorded(i, "serial"), serials[i]);
    }

    const std::string config = readConfig();
    const auto written = std::filesystem::last_write_time(configPath());
    listed = list(run({"-l"}));
    EXPECT_EQ(listed.indexes, (Serials{"0", "1", "2", "3"}));
    EXPECT_EQ(readConfig(), config);
    EXPECT_EQ(std::filesystem::last_write_time(configPath()), written) << "rewritten";
}

// A serial that no value in the file can hold (a value reads as 255 characters at most) is
// listed with an index for the run, but never recorded, so it cannot take a section on every
// run; the others are recorded as usual.
TEST_F(IndexAssignment, SerialThatCannotBeRecordedIsListedButNotRecorded) {
    const std::string longSerial(300, 'L');
    useModules(moduleText(longSerial, "1-1") + moduleText("A1", "1-2"));
    for (int run_ = 0; run_ < 2; ++run_) {
        const Listed listed = list(run({"-l"}));
        EXPECT_EQ(listed.serials.size(), 2u);
        EXPECT_EQ(listed.indexes, (Serials{"-1", "1"}));
        EXPECT_EQ(readConfig(), "[device1]\nserial=A1\ntype=TIO-8\n");
    }
}

#ifndef _WIN32
// Two administrators' runs at once, each seeing another new module of another type, as on two
// hosts' views of a shared configuration or two modules plugged in between the runs: after
// every try each module stands in a section of its own, with its own type.
TEST_F(IndexAssignment, TwoRunsWithDifferentNewModulesTakeDifferentSections) {
    const ScratchDir scratch("tavrik-race");
    const std::string first = scratch.file("first.scenario", moduleText("A1", "1-1"));
    const std::string second =
        scratch.file("second.scenario", moduleText("B2", "1-1", "type = TIO-16"));
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::filesystem::remove(configPath());
        RunningProcess a(TAVRIK_INFO_PROGRAM, {"-l"}, {{"TAVRIK_VIRTUAL_SCENARIO", first}});
        RunningProcess b(TAVRIK_INFO_PROGRAM, {"-l"}, {{"TAVRIK_VIRTUAL_SCENARIO", second}});
        EXPECT_EQ(a.finish().exitStatus, 0);
        EXPECT_EQ(b.finish().exitStatus, 0);
        const ConfigFile config(configPath());
        const int indexA = config.findIndex("A1");
        const int indexB = config.findIndex("B2");
        ASSERT_TRUE(indexA != -1 && indexB != -1) << "try " << attempt << ":\n" << readConfig();
        ASSERT_EQ(recorded(indexA, "type"), "TIO-8") << "try " << attempt << ":\n" << readConfig();
        ASSERT_EQ(recorded(indexB, "type"), "TIO-16") << "try " << attempt << ":\n" << readConfig();
    }
}

// Any user may open the configuration directory and hold a lock on it; an administrator's
// listing neither waits for that nor fails to record. Should the listing wait, the lock is
// let go when the bounded wait for its output is over, so the test cannot hang.
TEST_F(IndexAssignment, LockOnTheConfigurationDirectoryDoesNotHoldUpTheListing) {
    useModules(moduleText("A1", "1-1"));
    const int directory = ::open(TAVRIK_CONFIG_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    ASSERT_EQ(::flock(directory, LOCK_EX), 0);
    const auto listing = start({"-l"});
    const bool listed = listing->waitForOutput("Serial   : A1\n", 20000);
    ::close(directory);
    EXPECT_TRUE(listed) << "the listing waited for the directory's lock";
    EXPECT_EQ(listing->finish().exitStatus, 0);
    EXPECT_EQ(recorded(0, "serial"), "A1");
}

// A writer that keeps the writers' lock (stuck, or hostile) delays the listing by a moment;
// it is printed all the same, and the index is recorded by a later run.
TEST_F(IndexAssignment, ListingGivesUpRecordingWhileAnotherWriterKeepsTheLock) {
    useModules(moduleText("A1", "1-1"));
    const std::string lockPath = configLockPath(configPath());
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const auto listing = start({"-l"});
    const bool listed = listing->waitForOutput("Serial   : A1\n", 20000);
    ::close(lock);
    EXPECT_TRUE(listed) << listing->out();
    const ProcessResult result = listing->finish();
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(configExists());

    EXPECT_EQ(list(run({"-l"})).indexes, (Serials{"0"}));
    EXPECT_EQ(recorded(0, "serial"), "A1");
}

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
