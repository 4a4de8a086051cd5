// The test variants' backend, run in child processes: it is built once per process, from the
// environment, and writes its final log lines when the process exits.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "virtual_test_util.h"

namespace tavrik::virt {
namespace {

class ScenarioBackendTest : public ::testing::Test {
  protected:
    ScenarioBackendTest() {
        char pattern[] = "/tmp/tavrik-scenario-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    ~ScenarioBackendTest() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string path(const char* name) const { return dir_ + "/" + name; }

    void write(const char* name, const std::string& text) const {
        std::ofstream(path(name)) << text;
    }

    std::string read(const char* name) const {
        std::ifstream in(path(name));
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Runs body in a child whose stderr goes to the file "stderr"; returns its exit status.
    template <typename F>
    int inChild(const char* scenario, F body) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::freopen(path("stderr").c_str(), "w", stderr);
            if (scenario != nullptr) {
                setenv("TAVRIK_VIRTUAL_SCENARIO", scenario, 1);
            } else {
                unsetenv("TAVRIK_VIRTUAL_SCENARIO");
            }
            std::exit(body(hid::defaultBackend()));  // exit() so the bus logs its end
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
};

TEST_F(ScenarioBackendTest, BusFromTheFileLogsRequestsAndFinalState) {
    write("bus.ini",
          "log = bus.log\n[module]\nserial = A100\nconfig = 0 1\n[module]\nserial = B200\n"
          "pid = 0xF306\n");
    const int status = inChild(path("bus.ini").c_str(), [](hid::HidBackend& backend) {
        const auto devices = backend.enumerate(0x04D8, 0xF713);
        if (devices.size() != 1 || backend.enumerate(0, 0).size() != 2) {
            return 1;
        }
        hid::hid_device* dev = backend.openPath(devices[0].path.c_str(), nullptr);
        TavrikMessage m = test::request(CmdStateBasic, 1);
        m.bytes[35] = 0x01;  // output 0 to 1: wire bit 1 = 0
        test::seal(m);
        unsigned char report[65] = {};
        std::memcpy(report + 1, m.bytes, kMessageSize);
        return backend.write(dev, report, sizeof report) == 65 ? 0 : 2;
    });
    ASSERT_EQ(status, 0) << read("stderr");
    EXPECT_EQ(read("stderr"), "");
    const std::string log = read("bus.log");
    std::istringstream lines(log);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind("app aa02000001", 0), 0u) << line;
    EXPECT_EQ(line.size(), 4u + 128u);
    const char* rest[] = {"mode A100 app", "state A100 01", "flash A100 00000000 00000000 0000",
                          "mode B200 app", "state B200 ",   "flash B200 00000000 00000000 0000"};
    for (const char* expected : rest) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(line, expected);
    }
    EXPECT_FALSE(std::getline(lines, line));
}

TEST_F(ScenarioBackendTest, ParseErrorIsReportedAndTheBusIsEmpty) {
    write("bad.ini", "[module]\nserial = A\nfrobnicate = 1\n");
    const int status = inChild(path("bad.ini").c_str(), [](hid::HidBackend& backend) {
        return static_cast<int>(backend.enumerate(0, 0).size());
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read("stderr"), path("bad.ini") + ": line 3: unknown key 'frobnicate'\n");
}

TEST_F(ScenarioBackendTest, MissingVariableOrFileIsAnEmptyBus) {
    auto count = [](hid::HidBackend& backend) {
        return static_cast<int>(backend.enumerate(0, 0).size());
    };
    EXPECT_EQ(inChild(nullptr, count), 0);
    EXPECT_EQ(inChild(path("absent.ini").c_str(), count), 0);
    EXPECT_EQ(read("stderr"), "");
}

}  // namespace
}  // namespace tavrik::virt
