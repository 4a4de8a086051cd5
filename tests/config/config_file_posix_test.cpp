// What the Linux reader and writer of the file add: a hand-edited file kept byte for byte,
// its permissions, no partial or foreign file replaced, and a lock among writers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config_file.h"
#include "config_file_fixture.h"

namespace tavrik {
namespace {

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
