#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "node_lock.h"

namespace tavrik::hid {
namespace {

class NodeLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "hidraw-lock-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        ASSERT_GE(fd, 0);
        ::close(fd);
        path = pattern;
    }
    void TearDown() override { ::unlink(path.c_str()); }

    std::string path;
};

TEST_F(NodeLockTest, SecondOpenInSameProcessIsBusyUntilUnlocked) {
    int first = -1;
    ASSERT_EQ(lockNode(path.c_str(), &first), NodeLockResult::Locked);
    int second = -1;
    EXPECT_EQ(lockNode(path.c_str(), &second), NodeLockResult::Busy);
    unlockNode(first);
    ASSERT_EQ(lockNode(path.c_str(), &second), NodeLockResult::Locked);
    unlockNode(second);
}

TEST_F(NodeLockTest, MissingNodeFails) {
    int fd = -1;
    EXPECT_EQ(lockNode((path + ".missing").c_str(), &fd), NodeLockResult::Failed);
}

TEST_F(NodeLockTest, NodeHeldByAnotherProcessIsBusyUntilItExits) {
    int locked[2];
    int release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(locked[0]);
        ::close(release[1]);
        int fd = -1;
        const char result = lockNode(path.c_str(), &fd) == NodeLockResult::Locked ? 'L' : 'F';
        char ignored;
        const bool told =
            ::write(locked[1], &result, 1) == 1 && ::read(release[0], &ignored, 1) >= 0;
        ::_exit(told ? 0 : 1);  // the lock goes with the process
    }
    ::close(locked[1]);
    ::close(release[0]);

    char childResult = 0;
    ASSERT_EQ(::read(locked[0], &childResult, 1), 1);
    ASSERT_EQ(childResult, 'L');
    int fd = -1;
    EXPECT_EQ(lockNode(path.c_str(), &fd), NodeLockResult::Busy);

    ::close(release[1]);  // lets the child exit
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(lockNode(path.c_str(), &fd), NodeLockResult::Locked);
    unlockNode(fd);
    ::close(locked[0]);
}

}  // namespace
}  // namespace tavrik::hid
