// Runs tavrik_info over a bus of virtual modules as a separate process, the way users run it,
// with its configuration directory emptied before each test. With TAVRIK_TEST_VIA_SERVICE=1
// every run has tavrikd hold the modules first, on a private bus, and the program goes
// through it: the same cases then show that the two paths give the same bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run_process.h"
#include "scratch_dir.h"
#ifndef _WIN32
#include "test_service.h"
#endif

namespace tavrik::test {

extern const char kSeparatorLine[];
extern const char kListenPrompt[];
extern const char kThreadStoppedLine[];

// One [module] section of a scenario file; extra holds further "key = value" lines.
std::string moduleText(const std::string& serial, const std::string& location,
                       const std::string& extra = "");

std::vector<std::string> splitLines(const std::string& text);

class InfoProgramTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The bus for the following runs. The log records every request and the final states;
    // leave it out for runs as a user who could not write it.
    void useModules(const std::string& modules, bool logged = true);
    ProcessResult run(const std::vector<std::string>& args, const std::string& input = "");
#ifndef _WIN32
    // As a user who may not write the configuration file. Wine runs every program as an
    // administrator, so the Windows build has no such user.
    ProcessResult runUnprivileged(const std::vector<std::string>& args);
#endif
    std::unique_ptr<RunningProcess> start(const std::vector<std::string>& args);

    // From the log of the last run.
    size_t requestCount(uint8_t command, uint8_t mode) const;
    // The module's state image as the last run left it.
    std::vector<uint8_t> finalImage(const std::string& serial) const;
    // Value as the host reads it of a point of a module with the given codes and layout.
    int32_t finalValue(const std::string& serial, const std::vector<uint8_t>& config, uint32_t type,
                       uint32_t index, bool extended = false) const;

    std::string configPath() const;
    void writeConfig(const std::string& text) const;
    std::string readConfig() const;
    bool configExists() const;

    // Whether this run goes through the service.
    static bool throughService();
#ifndef _WIN32
    // Through the service: the tavrikd of the running programs (started by start()).
    TestService& service() {
        return *service_;
    }
#endif

  private:
    std::string logText() const;
    std::map<std::string, std::string> programEnv();
    // Through the service: ends tavrikd, so that its log lines are written.
    void endService();
#ifndef _WIN32
    std::unique_ptr<TestService> service_;
#endif

    ScratchDir scratch_{"tavrik-info-test"};
    const std::string scenario_ = scratch_.path("bus.scenario");
    const std::string log_ = scratch_.path("bus.log");
};

}  // namespace tavrik::test
