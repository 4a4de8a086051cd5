// One scenario for a whole test program of the public API, on the path the run asks for:
// directly, or (TAVRIK_TEST_VIA_SERVICE=1) through tavrikd holding the modules on a private bus.
// The process reads the scenario once, so every case of the program shares it.
#pragma once

#include <gtest/gtest.h>

#ifndef _WIN32
#include <poll.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "scratch_dir.h"
#ifndef _WIN32
#include "test_service.h"
#endif

namespace tavrik::test {

inline const std::string kConfigFile = std::string(TAVRIK_TEST_CONFIG_DIR) + "/tavrik.ini";

inline void setEnv(const std::string& key, const std::string& value) {
#ifdef _WIN32
    _putenv_s(key.c_str(), value.c_str());
#else
    setenv(key.c_str(), value.c_str(), 1);
#endif
}

class ScenarioEnvironment : public ::testing::Environment {
  public:
    explicit ScenarioEnvironment(std::string scenario) : scenario_(std::move(scenario)) {}

    void SetUp() override {
        std::filesystem::create_directories(TAVRIK_TEST_CONFIG_DIR);
        std::filesystem::remove(kConfigFile);
        const std::string scenario = dir_.file("bus.scenario", scenario_);
        setEnv("TAVRIK_VIRTUAL_SCENARIO", scenario);
#ifndef _WIN32
        if (viaService()) {
            service_ = std::make_unique<TestService>();
            ASSERT_TRUE(service_->start(scenario)) << service_->why();
            for (const auto& [key, value] : service_->clientEnv()) {
                setEnv(key, value);
            }
        }
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        service_.reset();
#endif
        std::filesystem::remove(kConfigFile);
    }

    std::string path(const std::string& name) const {
        return dir_.path(name);
    }
    std::string file(const std::string& name, const std::string& text) const {
        return dir_.file(name, text);
    }

  private:
    std::string scenario_;
    ScratchDir dir_{"tavrik-api"};
#ifndef _WIN32
    std::unique_ptr<TestService> service_;
#endif
};

// Whether a device's or the monitor's descriptor polls as readable as expected; true on
// Windows, which has none to poll.
inline bool pollsReadable(int fd, bool expected) {
#ifdef _WIN32
    (void)fd;
    (void)expected;
    return true;
#else
    pollfd p{fd, POLLIN, 0};
    return (::poll(&p, 1, 0) == 1) == expected;
#endif
}

inline bool expectedViaService() {
#ifdef _WIN32
    return false;
#else
    return viaService();
#endif
}

}  // namespace tavrik::test
