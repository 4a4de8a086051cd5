// tavrikd's test variant on a private dbus-daemon, for the tests that run the programs, the
// library and Python through the service as well as directly. Every wait is bounded; what is
// started is killed and reaped with the object.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace tavrik::test {

// One child process, killed and reaped with the object.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { kill(); }

    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& errFile);
    // Signals it and waits up to timeoutMs for its end; SIGKILL after that. The exit status,
    // or -1 when it did not exit by itself.
    int stop(int signal, int timeoutMs);
    void kill() { stop(9, 2000); }
    // Sends a signal and leaves it running.
    void signal(int signal) const;
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

// The configuration of a bus like the system bus on address, open to every user. With a
// policy file it is included, and this user may still own the service's name on top of it.
std::string testBusConfig(const std::string& address, const std::string& policyFile = "");

// Starts dbus-daemon on dir's socket "bus" and waits until it listens: its address, or empty.
std::string startTestBus(ChildProcess& bus, const ScratchDir& dir, const std::string& policyFile);

// Whether the test runs its programs through the service: TAVRIK_TEST_VIA_SERVICE=1, which
// the second run of the same test table sets.
bool viaService();

class TestService {
  public:
    TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;
    ~TestService();

    // Starts the bus, if not yet running, and tavrikd_virtual over the scenario file, then
    // waits until its first scan has opened what it can. False, with the reason in why().
    bool start(const std::string& scenarioFile);
    // Ends tavrikd with the signal; its exit status (-1 when it had to be killed).
    int stop(int signal = 15);
    ChildProcess& daemon() { return daemon_; }

    // What a client of the service adds to its environment: the bus, and the directory that
    // tells the virtual modules tavrikd holds.
    std::map<std::string, std::string> clientEnv() const;
    const std::string& why() const { return why_; }
    // tavrikd's log of the modules' traffic, kept apart from the scenario's: whole once it
    // has ended; empty when the scenario asks for no log.
    std::string log() const;

  private:
    ScratchDir dir_{"tavrik-service"};
    ChildProcess bus_;
    ChildProcess daemon_;
    std::string address_;
    std::string why_;
};

}  // namespace tavrik::test
