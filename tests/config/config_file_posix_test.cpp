// What the Linux reader and writer of the file add: a hand-edited file kept byte for byte,
// its permissions, no partial or foreign file replaced, and a lock among writers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
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
    EXPECT_EQ(directoryEntries(), writtenEntries());
}

TEST_F(ConfigFileTest, WriteIntoMissingDirectoryFails) {
    ConfigFile config(dir_ + "/missing/tavrik.ini");
    EXPECT_FALSE(config.writeString("device0", "serial", "A"));
    EXPECT_TRUE(directoryEntries().empty());
}

// The temporary name is the file name plus a suffix of 7 characters, the lock file's a suffix
// of 5: with a name of 249 characters the lock can be taken but the temporary file cannot be
// made, even by root.
TEST_F(ConfigFileTest, FailedTemporaryFileLeavesOldFileIntact) {
    const std::string name = std::string(245, 'c') + ".ini";
    path_ = dir_ + "/" + name;
    writeFile("[device0]\nserial=OLD\n");
    ConfigFile config(path_);
    EXPECT_FALSE(config.writeString("device0", "serial", "NEW"));
    EXPECT_EQ(fileText(), "[device0]\nserial=OLD\n");
    EXPECT_EQ(directoryEntries(), (std::vector<std::string>{name, name + ".lock"}));
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
    EXPECT_EQ(directoryEntries(), writtenEntries());
}

// Another process's flock on a path, held while the object lives.
class HeldFlock {
  public:
    explicit HeldFlock(const std::string& path, int flags = O_RDONLY)
        : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0600)) {
        EXPECT_GE(fd_, 0) << path;
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0) << path;
    }
    HeldFlock(const HeldFlock&) = delete;
    HeldFlock& operator=(const HeldFlock&) = delete;
    ~HeldFlock() { release(); }
    void release() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
};

// Any user may open the configuration directory and hold its lock; writers must not wait for
// that. The write runs aside, so that a writer that does wait is released when the bounded
// wait is over instead of hanging the test.
TEST_F(ConfigFileTest, LockOnTheDirectoryDoesNotHoldUpAWrite) {
    HeldFlock directory(dir_, O_RDONLY | O_DIRECTORY);
    auto write = std::async(std::launch::async, [this] {
        return ConfigFile(path_).writeString("device0", "serial", "A");
    });
    const bool done = write.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    directory.release();
    EXPECT_TRUE(done) << "the write waited for the directory's lock";
    EXPECT_TRUE(write.get());
    EXPECT_EQ(ConfigFile(path_).findIndex("A"), 0);
}

TEST_F(ConfigFileTest, LockFileIsTheWritersAlone) {
    ASSERT_TRUE(ConfigFile(path_).writeString("device0", "serial", "A"));
    struct stat st;
    ASSERT_EQ(::lstat(configLockPath(path_).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());

    // One that others could open is closed to them before it is used.
    ASSERT_EQ(::chmod(configLockPath(path_).c_str(), 0666), 0);
    ASSERT_TRUE(ConfigFile(path_).writeString("device0", "serial", "B"));
    ASSERT_EQ(::lstat(configLockPath(path_).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Whatever stands at the lock file's name that is not a plain file of the writer's own with
// one name is not used, followed or changed, and the write is given up.
struct ForeignLockCase {
    const char* name;
    bool needsRoot;
    void (*make)(const std::string& lockPath, const std::string& elsewhere);
};

void PrintTo(const ForeignLockCase& c, std::ostream* os) {
    *os << c.name;
}

class ForeignLockTest : public ConfigFileTest,
                        public ::testing::WithParamInterface<ForeignLockCase> {};

TEST_P(ForeignLockTest, WriteIsGivenUpAndNothingIsTouched) {
    if (GetParam().needsRoot && ::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a file to another user";
    }
    const std::string elsewhere = dir_ + "/elsewhere";
    const std::string lockPath = configLockPath(path_);
    GetParam().make(lockPath, elsewhere);
    struct stat before;
    const bool elsewhereExisted = ::stat(elsewhere.c_str(), &before) == 0;

    EXPECT_FALSE(ConfigFile(path_).writeString("device0", "serial", "A"));
    EXPECT_FALSE(std::filesystem::exists(path_));
    struct stat after;
    EXPECT_EQ(::stat(elsewhere.c_str(), &after) == 0, elsewhereExisted);
    if (elsewhereExisted) {
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForeignLockTest,
    ::testing::Values(ForeignLockCase{"LinkToAMissingFile", false,
                                      [](const std::string& lock, const std::string& elsewhere) {
                                          ASSERT_EQ(::symlink(elsewhere.c_str(), lock.c_str()), 0);
                                      }},
                      ForeignLockCase{"LinkToAFile", false,
                                      [](const std::string& lock, const std::string& elsewhere) {
                                          std::ofstream(elsewhere) << "x";
                                          ASSERT_EQ(::chmod(elsewhere.c_str(), 0644), 0);
                                          ASSERT_EQ(::symlink(elsewhere.c_str(), lock.c_str()), 0);
                                      }},
                      ForeignLockCase{"SecondNameOfAFile", false,
                                      [](const std::string& lock, const std::string& elsewhere) {
                                          std::ofstream(elsewhere) << "x";
                                          ASSERT_EQ(::chmod(elsewhere.c_str(), 0644), 0);
                                          ASSERT_EQ(::link(elsewhere.c_str(), lock.c_str()), 0);
                                      }},
                      ForeignLockCase{"Directory", false,
                                      [](const std::string& lock, const std::string&) {
                                          ASSERT_EQ(::mkdir(lock.c_str(), 0700), 0);
                                      }},
                      ForeignLockCase{"Fifo", false,
                                      [](const std::string& lock, const std::string&) {
                                          ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
                                      }},
                      ForeignLockCase{"OwnedByAnotherUser", true,
                                      [](const std::string& lock, const std::string&) {
                                          std::ofstream(lock) << "";
                                          ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
                                      }}),
    [](const ::testing::TestParamInfo<ForeignLockCase>& info) {
        return std::string(info.param.name);
    });

// A writer that keeps the lock (stuck, or hostile) costs a moment, not the command: the write
// is given up and the file left as it was. An update holds the lock for its own writes.
TEST_F(ConfigFileTest, UpdateKeepsOtherWritersOutAndTheyGiveUp) {
    writeFile("[device0]\nserial=OLD\n");
    ConfigFile updating(path_);
    {
        const ConfigFile::Update update(updating);
        ASSERT_TRUE(update.held());
        EXPECT_TRUE(updating.writeString("device0", "serial", "MINE"));
        EXPECT_TRUE(updating.writeString("device0", "type", "TIO-8"));

        // Another update and a single write, each as another program would make them.
        auto otherUpdate = std::async(std::launch::async, [this] {
            ConfigFile config(path_);
            const ConfigFile::Update update(config);
            return update.held();
        });
        auto otherWrite = std::async(std::launch::async, [this] {
            return ConfigFile(path_).writeString("device1", "x", "y");
        });
        ASSERT_EQ(otherUpdate.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        ASSERT_EQ(otherWrite.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_FALSE(otherUpdate.get());
        EXPECT_FALSE(otherWrite.get());
    }
    EXPECT_EQ(fileText(), "[device0]\nserial=MINE\ntype=TIO-8\n");
    EXPECT_TRUE(ConfigFile(path_).writeString("device1", "x", "y"));  // released
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
