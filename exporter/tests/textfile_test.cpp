// The textfile written in place of the old one: whole, never through a planted name.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "textfile.h"

namespace tavrik::exporter {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void put(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class TextfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tavrik-textfile.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        target = dir / "tavrik.prom";
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir, target;
};

TEST_F(TextfileTest, EachWriteLeavesTheWholeTextAndNothingElse) {
    // Shorter after longer: a write into the old file would leave its tail.
    const std::string texts[] = {std::string(100000, 'a') + "\n", "short\n", "",
                                 std::string(5000, 'b')};
    for (const auto& text : texts) {
        std::string error;
        ASSERT_TRUE(replaceTextfile(target.string(), text, error)) << error;
        EXPECT_EQ(contentOf(target), text);
        EXPECT_EQ(namesIn(dir), std::vector<std::string>{"tavrik.prom"});
        struct stat st;
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
}

TEST_F(TextfileTest, PlantedNamesAreNotFollowed) {
    // Whoever may write the directory can guess a temporary name from the pid; the file it
    // points at must stay as it was.
    const fs::path victim = dir / "victim";
    put(victim, "precious\n");
    const std::string pid = std::to_string(::getpid());
    for (const std::string& name : {"tavrik.prom.tmp." + pid, std::string("tavrik.prom.tmp")})
        fs::create_symlink(victim, dir / name);
    std::string error;
    ASSERT_TRUE(replaceTextfile(target.string(), "metrics\n", error)) << error;
    EXPECT_EQ(contentOf(victim), "precious\n");
    EXPECT_EQ(contentOf(target), "metrics\n");
    EXPECT_FALSE(fs::is_symlink(target));

    // A symlink at the target itself is replaced, not written through.
    fs::remove(target);
    fs::create_symlink(victim, target);
    ASSERT_TRUE(replaceTextfile(target.string(), "again\n", error)) << error;
    EXPECT_EQ(contentOf(victim), "precious\n");
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(contentOf(target), "again\n");
}

// Makes every write past a few bytes fail, as a full disk does, for the life of the object.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    bool ok() const { return ok_; }

  private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
    bool ok_ = false;
};

TEST_F(TextfileTest, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    put(target, "old\n");
    {
        FileSizeLimit limit(16);
        ASSERT_TRUE(limit.ok());
        std::string error;
        EXPECT_FALSE(replaceTextfile(target.string(), std::string(4096, 'x'), error));
        EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    }
    EXPECT_EQ(contentOf(target), "old\n");
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"tavrik.prom"});

    // The rename fails over a directory; the written temporary goes again.
    const fs::path busy = dir / "busy.prom";
    fs::create_directory(busy);
    put(busy / "inside", "kept\n");
    std::string error;
    EXPECT_FALSE(replaceTextfile(busy.string(), "new\n", error));
    EXPECT_NE(error.find("cannot rename"), std::string::npos) << error;
    EXPECT_EQ(contentOf(busy / "inside"), "kept\n");
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"busy.prom", "tavrik.prom"}));

    EXPECT_FALSE(replaceTextfile((dir / "missing" / "x.prom").string(), "new\n", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

}  // namespace
}  // namespace tavrik::exporter
