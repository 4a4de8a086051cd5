// The test variants' backend, run in child processes: it is built once per process, from the
// environment, and writes its final log lines when the process exits.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "boot_frame.h"
#include "scratch_dir.h"
#include "virtual_test_util.h"

namespace tavrik::virt {
namespace {

class ScenarioBackendTest : public ::testing::Test {
  protected:
    std::string path(const char* name) const { return dir_.path(name); }
    void write(const char* name, const std::string& text) const { dir_.file(name, text); }
    std::string read(const char* name) const { return dir_.read(name); }

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

    tavrik::test::ScratchDir dir_{"tavrik-scenario"};
};

TEST_F(ScenarioBackendTest, BusFromTheFileLogsRequestsAndFinalState) {
    write("bus.ini",
          "log = bus.log\n[module]\nserial = A100\nconfig = 0 1\n[module]\nserial = B200\n"
          "bootloader = 1\n");
    const int status = inChild(path("bus.ini").c_str(), [](hid::HidBackend& backend) {
        const auto app = backend.enumerate(0x04D8, 0xF713);
        const auto boot = backend.enumerate(0x04D8, 0xF65D);
        if (app.size() != 1 || boot.size() != 1) {
            return 1;
        }
        hid::hid_device* dev = backend.openPath(app[0].path.c_str(), nullptr);
        TavrikMessage m = test::request(CmdStateBasic, 1);
        m.bytes[35] = 0x01;  // output 0 to 1: wire bit 1 = 0
        test::seal(m);
        unsigned char report[65] = {};
        std::memcpy(report + 1, m.bytes, kMessageSize);
        if (backend.write(dev, report, sizeof report) != 65) {
            return 2;
        }
        // Program 0x9D006000: 0xAB, 0xCD after the linear offset 0x1D00.
        const std::vector<uint8_t> frame =
            encodeFrame({0x03, 0x02, 0x00, 0x00, 0x04, 0x1D, 0x00, 0xDD, 0x02, 0x60, 0x00, 0x00,
                         0xAB, 0xCD, 0x26});
        std::fill(report, report + sizeof report, 0);
        std::copy(frame.begin(), frame.end(), report + 1);
        hid::hid_device* loader = backend.openPath(boot[0].path.c_str(), nullptr);
        return backend.write(loader, report, sizeof report) == 65 ? 0 : 3;
    });
    ASSERT_EQ(status, 0) << read("stderr");
    EXPECT_EQ(read("stderr"), "");
    const std::string log = read("bus.log");
    std::istringstream lines(log);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind("app aa02000001", 0), 0u) << line;
    EXPECT_EQ(line.size(), 4u + 128u);
    char flash[64];
    const uint8_t programmed[] = {0xAB, 0xCD};
    std::snprintf(flash, sizeof flash, "flash B200 9d006000 00000002 %04x",
                  crc16Xmodem(programmed, 2));
    const std::string rest[] = {"boot 03020000041d00dd02600000abcd26",
                                "mode A100 app",
                                "state A100 01",
                                "flash A100 00000000 00000000 0000",
                                "mode B200 boot",
                                "state B200 ",
                                flash};
    for (const std::string& expected : rest) {
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
