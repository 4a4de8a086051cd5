#include "config_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"

namespace tavrik {
namespace {

class ConfigFileTest : public ::testing::Test {
  protected:
    // A test that changes permissions must leave the directory removable.
    void TearDown() override { EXPECT_TRUE(scratch_.remove()); }

    // At path_, which a test may move within the directory.
    void writeFile(const std::string& text) const {
        std::ofstream(path_, std::ios::binary) << text;
    }

    std::string fileText() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::vector<std::string> directoryEntries() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(dir_.c_str());
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        return names;
    }

    test::ScratchDir scratch_{"tavrik-config"};
    const std::string dir_ = scratch_.path();
    std::string path_ = scratch_.path("tavrik.ini");
};

TEST(SectionNameTest, DeviceFollowedByDecimalIndex) {
    EXPECT_EQ(sectionName(0), "device0");
    EXPECT_EQ(sectionName(9), "device9");
    EXPECT_EQ(sectionName(-1), "device-1");
}

TEST(ConfigPathTest, BareNameResolvesInConfigDirectoryAndPathsStayAsGiven) {
    EXPECT_EQ(ConfigFile().path(), configDirectory() + "/tavrik.ini");
    EXPECT_EQ(ConfigFile("/tmp/x/other.ini").path(), "/tmp/x/other.ini");
}

TEST_F(ConfigFileTest, MissingFileSectionOrKeyYieldsDefaults) {
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "-1");
    EXPECT_EQ(config.readInt("device0", "inputs", -1), -1);
    EXPECT_EQ(config.findIndex("ABC"), -1);

    writeFile("[device0]\nserial=ABC\n");
    EXPECT_EQ(config.readString("device1", "serial", "-1"), "-1");
    EXPECT_EQ(config.readString("device0", "type", ""), "");
    const ModuleSettings settings = config.readModuleSettings(3);
    EXPECT_EQ(settings.name, "");
    for (int32_t limit : settings.limits) {
        EXPECT_EQ(limit, -1);
    }
}

TEST_F(ConfigFileTest, NamesMatchWithoutRegardToCaseButValuesAsWritten) {
    writeFile("[DEVICE0]\nSerial=AbC\nNAME=Rack A\r\n");
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "AbC");
    EXPECT_EQ(config.readString("Device0", "name", ""), "Rack A");
    EXPECT_EQ(config.findIndex("AbC"), 0);
    EXPECT_EQ(config.findIndex("abc"), -1);
}

TEST_F(ConfigFileTest, ValuesTakeEffectUpTo255Characters) {
    const std::string longName(300, 'n');
    writeFile("[device0]\nname=" + longName + "\n");
    EXPECT_EQ(ConfigFile(path_).readString("device0", "name", ""), longName.substr(0, 255));
}

TEST_F(ConfigFileTest, EmptyNameValueCountsAsNoName) {
    writeFile("[device0]\nname=\ninputs=2\n");
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "name", "default"), "");
    EXPECT_EQ(config.readModuleSettings(0).name, "");
}

TEST_F(ConfigFileTest, SerialMinusOneMatchesFirstSectionWithoutSerial) {
    writeFile(
        "[device0]\nserial=A1\n"
        "[device1]\ntype=TIO\n"
        "[device2]\nserial=B2\n"
        "[device3]\n"
        "[device10]\nserial=Z9\n");
    ConfigFile config(path_);
    EXPECT_EQ(config.findIndex("A1"), 0);
    EXPECT_EQ(config.findIndex("B2"), 2);
    EXPECT_EQ(config.findIndex("-1"), 1);
    EXPECT_EQ(config.findIndex("Z9"), -1);  // only device0 to device9 hold indexes
}

TEST_F(ConfigFileTest, SectionForNoIndexSuppliesNameAndLimits) {
    writeFile(
        "[device-1]\nname=Spare\ninputs=4\npoe_maxpower=0\noutputs=many\n"
        "[device0]\ninputs=7\n");
    const ModuleSettings settings = ConfigFile(path_).readModuleSettings(-1);
    EXPECT_EQ(settings.name, "Spare");
    EXPECT_EQ(settings.limits[Inputs], 4);
    EXPECT_EQ(settings.limits[PoeMaxPower], 0);
    EXPECT_EQ(settings.limits[Outputs], -1);  // not a number
    EXPECT_EQ(settings.limits[Buttons], -1);
}

struct IntCase {
    const char* value;
    int32_t expected;
};

class ReadIntTest : public ConfigFileTest, public ::testing::WithParamInterface<IntCase> {};

TEST_P(ReadIntTest, LeadingDecimalWithinInt32ElseDefault) {
    writeFile(std::string("[device0]\ninputs=") + GetParam().value + "\n");
    EXPECT_EQ(ConfigFile(path_).readInt("device0", "inputs", -7), GetParam().expected)
        << "value: " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReadIntTest,
    ::testing::Values(IntCase{"12", 12}, IntCase{"   5", 5}, IntCase{"4abc", 4}, IntCase{"-3", -3},
                      IntCase{"+6", 6}, IntCase{"0x10", 0}, IntCase{"abc", -7}, IntCase{"", -7},
                      IntCase{"- 1", -7}, IntCase{"2147483647", 2147483647},
                      IntCase{"2147483648", -7}, IntCase{"-2147483648", INT32_MIN},
                      IntCase{"-2147483649", -7}, IntCase{"99999999999999999999", -7}));

TEST_F(ConfigFileTest, WriteCreatesMissingFileReadableByAll) {
    ConfigFile config(path_);
    ASSERT_TRUE(config.writeString("device0", "serial", "ABC"));
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "ABC");
    EXPECT_EQ(fileText(), "[device0]\nserial=ABC\n");
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// A hand-edited file survives writes byte for byte except for the written entry: comments (also
// at the end), blank lines, blanks around '=', any key order, duplicate sections, CR LF.
class HandEditedFileTest : public ConfigFileTest,
                           public ::testing::WithParamInterface<const char*> {
  protected:
    // The text with each LF turned into the line break under test.
    static std::string lines(const std::string& text) {
        std::string out;
        for (char c : text) {
            if (c == '\n') {
                out += GetParam();
            } else {
                out += c;
            }
        }
        return out;
    }
};

TEST_P(HandEditedFileTest, WriteChangesOnlyTheWrittenEntry) {
    std::string expected = lines(
        "; Tavrik modules, kept by hand\n"
        "\n"
        "\n"
        "[ Device1 ]\n"
        "type = TIO-8\n"
        "\tname=\"Rack A\"\n"
        "\n"
        "; hide the spare inputs\n"
        "inputs =4\n"
        "Serial= OLD1   \n"
        "this line has no equals sign\n"
        "\n"
        "\n"
        "# the upper shelf\n"
        "[device0]\n"
        "serial=S0\n"
        "\n"
        "; spare entry\n"
        "[device1]\n"
        "serial=DUPLICATE\n"
        "[other]\n"
        "Key = Value\n"
        "; end of file");
    writeFile(expected);
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device1", "name", ""), "Rack A");

    ASSERT_TRUE(config.writeString("device1", "serial", "NEW1"));
    expected.replace(expected.find("OLD1"), 4, "NEW1");
    EXPECT_EQ(fileText(), expected);

    ASSERT_TRUE(config.writeString("device0", "type", "TIO-8"));
    const std::string serial0 = lines("serial=S0\n");
    expected.insert(expected.find(serial0) + serial0.size(), lines("type=TIO-8\n"));
    EXPECT_EQ(fileText(), expected);

    ASSERT_TRUE(config.writeString("device2", "serial", "S2"));
    expected += lines("\n[device2]\nserial=S2\n");
    EXPECT_EQ(fileText(), expected);

    EXPECT_EQ(config.readString("device1", "serial", "-1"), "NEW1");
    EXPECT_EQ(config.findIndex("DUPLICATE"), -1);
    EXPECT_EQ(config.findIndex("S2"), 2);
}

INSTANTIATE_TEST_SUITE_P(LineBreaks, HandEditedFileTest, ::testing::Values("\n", "\r\n"));

TEST_F(ConfigFileTest, WriteKeepsPermissionsAndLeavesNoTemporaryFile) {
    writeFile("[device0]\nserial=A\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_TRUE(ConfigFile(path_).writeString("device0", "serial", "B"));
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(directoryEntries(), std::vector<std::string>{"tavrik.ini"});
}

TEST_F(ConfigFileTest, WriteIntoMissingDirectoryFails) {
    ConfigFile config(dir_ + "/missing/tavrik.ini");
    EXPECT_FALSE(config.writeString("device0", "serial", "A"));
    EXPECT_TRUE(directoryEntries().empty());
}

// The temporary name is the file name plus a suffix; with a name at the length limit the
// temporary file cannot be made, even by root.
TEST_F(ConfigFileTest, FailedTemporaryFileLeavesOldFileIntact) {
    path_ = dir_ + "/" + std::string(250, 'c') + ".ini";
    writeFile("[device0]\nserial=OLD\n");
    ConfigFile config(path_);
    EXPECT_FALSE(config.writeString("device0", "serial", "NEW"));
    EXPECT_EQ(fileText(), "[device0]\nserial=OLD\n");
    EXPECT_EQ(directoryEntries().size(), 1u);
}

TEST_F(ConfigFileTest, ReadOnlyDirectoryLeavesOldFileIntact) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root ignores directory permissions";
    }
    writeFile("[device0]\nserial=OLD\n");
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
    EXPECT_FALSE(mayWriteConfig(path_));
    EXPECT_FALSE(ConfigFile(path_).writeString("device0", "serial", "NEW"));
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    EXPECT_EQ(fileText(), "[device0]\nserial=OLD\n");
}

TEST_F(ConfigFileTest, UnreadableFileIsNotOverwritten) {
    ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0);  // a directory where the file should be
    ConfigFile config(path_);
    EXPECT_FALSE(config.writeString("device0", "serial", "A"));
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "-1");
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// Something other than a plain file of sensible size where the file should be: reading it
// must neither block (a FIFO without a writer) nor run on for ever (/dev/zero), it reads as
// a missing file, and a write leaves it as it is.
struct NotAFileCase {
    const char* name;
    void (*make)(const std::string& path);
};

void PrintTo(const NotAFileCase& c, std::ostream* os) {
    *os << c.name;
}

constexpr size_t kFileLimit = 1 << 20;

class NotAFileTest : public ConfigFileTest, public ::testing::WithParamInterface<NotAFileCase> {};

TEST_P(NotAFileTest, ReadsAsMissingAndIsNotReplaced) {
    GetParam().make(path_);
    struct stat before;
    ASSERT_EQ(::lstat(path_.c_str(), &before), 0);
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "serial", "-1"), "-1");
    EXPECT_EQ(config.findIndex("A"), -1);
    EXPECT_FALSE(config.writeString("device0", "serial", "B"));
    struct stat after;
    ASSERT_EQ(::lstat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_size, before.st_size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotAFileTest,
    ::testing::Values(NotAFileCase{"Fifo",
                                   [](const std::string& path) {
                                       ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
                                   }},
                      NotAFileCase{"LinkToDevZero",
                                   [](const std::string& path) {
                                       ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0);
                                   }},
                      NotAFileCase{"LargerThanOneMebibyte", [](const std::string& path) {
                                       std::string text = "[device0]\nserial=A\n";
                                       text.resize(kFileLimit + 1, ';');
                                       std::ofstream(path, std::ios::binary) << text;
                                   }}));

TEST_F(ConfigFileTest, LargeFileBelowTheLimitIsReadAndWritten) {
    std::string text = "[device0]\nserial=A\n;";
    text.resize(kFileLimit - 64, ';');
    writeFile(text + "\n");
    ConfigFile config(path_);
    EXPECT_EQ(config.findIndex("A"), 0);
    EXPECT_TRUE(config.writeString("device0", "type", "TIO-8"));
    EXPECT_EQ(config.readString("device0", "type", ""), "TIO-8");
}

// Writers in separate open file descriptions, as two programs would be: none loses a key that
// another wrote meanwhile.
TEST_F(ConfigFileTest, ConcurrentWritersLoseNoKey) {
    writeFile("; kept\n[device0]\nserial=OLD\n");
    constexpr int kWriters = 4;
    constexpr int kKeys = 50;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            ConfigFile config(path_);
            for (int k = 0; k < kKeys; ++k) {
                EXPECT_TRUE(config.writeString(sectionName(w), "key" + std::to_string(k), "v"));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    ConfigFile config(path_);
    EXPECT_EQ(config.readString("device0", "serial", ""), "OLD");
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kKeys; ++k) {
            EXPECT_EQ(config.readString(sectionName(w), "key" + std::to_string(k), ""), "v")
                << sectionName(w) << " key" << k;
        }
    }
    EXPECT_EQ(fileText().rfind("; kept\n[device0]\nserial=OLD\n", 0), 0u);
    EXPECT_EQ(directoryEntries(), std::vector<std::string>{"tavrik.ini"});
}

TEST_F(ConfigFileTest, ValueWithLineBreakIsRefused) {
    writeFile("[device0]\nserial=A\n");
    ConfigFile config(path_);
    EXPECT_FALSE(config.writeString("device0", "type", "X\n[device1]\nserial=forged"));
    EXPECT_FALSE(config.writeString("device0", "type", "X\rY"));
    EXPECT_EQ(fileText(), "[device0]\nserial=A\n");
}

TEST_F(ConfigFileTest, MayWriteNeedsWritableFileOrDirectory) {
    EXPECT_TRUE(mayWriteConfig(path_));  // missing file, writable directory
    EXPECT_FALSE(mayWriteConfig(dir_ + "/missing/tavrik.ini"));
    writeFile("[device0]\n");
    EXPECT_TRUE(mayWriteConfig(path_));
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
        EXPECT_FALSE(mayWriteConfig(path_));
    }
}

}  // namespace
}  // namespace tavrik
