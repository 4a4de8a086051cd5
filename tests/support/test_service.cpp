#include "test_service.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

extern "C" char** environ;

namespace tavrik::test {

namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env,
                         const std::string& errFile) {
    std::vector<std::string> argText{program};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        if (env.count(key) == 0) {
            envText.push_back(entry);
        }
    }
    for (const auto& [key, value] : env) {
        envText.push_back(key + "=" + value);
    }
    std::vector<char*> argv;
    for (std::string& a : argText) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envText) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (err >= 0) {
            ::dup2(err, 1);
            ::dup2(err, 2);
        }
        // A child must not inherit a blocked SIGTERM.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid_ > 0;
}

int ChildProcess::stop(int signal, int timeoutMs) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, signal);
    if (signal != SIGKILL) {
        ::kill(pid_, SIGCONT);  // a stopped child must be able to take it
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::signal(int signal) const {
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

std::string testBusConfig(const std::string& address, const std::string& policyFile) {
    std::ostringstream config;
    config << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n  <type>tavrik-test</type>\n"
           << "  <listen>" << address << "</listen>\n"
           << "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
              "    <allow send_destination=\"*\"/>\n    <allow receive_sender=\"*\"/>\n"
              "  </policy>\n";
    struct stat info {};
    if (!policyFile.empty() && ::stat(policyFile.c_str(), &info) == 0) {
        config << "  <include>" << policyFile << "</include>\n"
               << "  <policy user=\"" << ::getuid() << "\">\n"
               << "    <allow own=\"io.tavrik1\"/>\n  </policy>\n";
    }
    config << "</busconfig>\n";
    return config.str();
}

std::string startTestBus(ChildProcess& bus, const ScratchDir& dir, const std::string& policyFile) {
    const std::string address = "unix:path=" + dir.path("bus");
    const std::string configFile = dir.file("bus.conf", testBusConfig(address, policyFile));
    if (!bus.start(DBUS_DAEMON_PROGRAM,
                   {"--config-file=" + configFile, "--nofork", "--print-address"}, {},
                   dir.path("dbus.err"))) {
        return std::string();
    }
    // The socket's file exists from its bind(), before the bus listens on it; the address is
    // printed once it does.
    if (!waitFor([&] { return dir.read("dbus.err").find("unix:path=") != std::string::npos; },
                 5000)) {
        return std::string();
    }
    return address;
}

bool viaService() {
    const char* mode = std::getenv("TAVRIK_TEST_VIA_SERVICE");
    return mode != nullptr && std::string(mode) == "1";
}

TestService::TestService() {
    std::filesystem::create_directory(dir_.path("holds"));
    // The unprivileged runs of some tests take the holds too.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
    std::filesystem::permissions(dir_.path("holds"), std::filesystem::perms::all);
}

TestService::~TestService() {
    stop(SIGKILL);
    bus_.kill();
}

bool TestService::start(const std::string& scenarioFile) {
    stop(SIGTERM);
    std::filesystem::remove(dir_.path("service.log"));
    if (!bus_.running()) {
        address_ = startTestBus(bus_, dir_, "");
        if (address_.empty()) {
            why_ = "dbus-daemon did not start: " + dir_.read("dbus.err");
            return false;
        }
    }
    if (!daemon_.start(TAVRIKD_PROGRAM, {"--bus", address_},
                       {{"TAVRIK_VIRTUAL_SCENARIO", scenarioFile},
                        {"TAVRIK_VIRTUAL_HOLD_DIR", dir_.path("holds")},
                        {"TAVRIK_VIRTUAL_LOG", dir_.path("service.log")}},
                       dir_.path("tavrikd.err"))) {
        why_ = "tavrikd did not start";
        return false;
    }
    sd_bus* client = nullptr;
    bool ready = sd_bus_new(&client) >= 0 && sd_bus_set_address(client, address_.c_str()) >= 0 &&
                 sd_bus_set_bus_client(client, 1) >= 0 && sd_bus_start(client) >= 0;
    ready = ready &&
            waitFor(
                [&] {
                    sd_bus_message* reply = nullptr;
                    int has = 0;
                    if (sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply,
                                           "s", "io.tavrik1") >= 0) {
                        sd_bus_message_read(reply, "b", &has);
                    }
                    sd_bus_message_unref(reply);
                    return has != 0;
                },
                5000);
    // Rescan returns once the openings of the scan have ended.
    ready = ready && sd_bus_call_method(client, "io.tavrik1", "/io/tavrik1", "io.tavrik1.Manager",
                                        "Rescan", nullptr, nullptr, "") >= 0;
    sd_bus_flush_close_unref(client);
    if (!ready) {
        why_ = "tavrikd did not come up: " + dir_.read("tavrikd.err");
    }
    return ready;
}

int TestService::stop(int signal) {
    return daemon_.running() ? daemon_.stop(signal, 5000) : -1;
}

std::string TestService::log() const {
    return dir_.read("service.log");
}

std::map<std::string, std::string> TestService::clientEnv() const {
    return {{"TAVRIK_TEST_BUS_ADDRESS", address_}, {"TAVRIK_VIRTUAL_HOLD_DIR", dir_.path("holds")}};
}

}  // namespace tavrik::test
