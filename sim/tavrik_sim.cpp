// tavrik_sim: presents the virtual modules of a scenario file as HID devices through the
// kernel's uhid interface, so that the real programs find them as they find real modules.
// Runs until SIGINT or SIGTERM, then removes its devices.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "presented_module.h"
#include "scenario.h"

namespace {

using tavrik::sim::PresentedModule;

// Bounds the wait for the kernel to take up each new device at start.
constexpr int kStartTimeoutMs = 10000;
// The longest sleep of the loop, so a late clock never starves the modules.
constexpr int64_t kMaxSleepMs = 50;

void printUsage(std::FILE* stream) {
    std::fprintf(stream,
                 "usage: tavrik_sim [-v] <scenario file>\n"
                 "Presents the scenario's modules as HID devices through /dev/uhid until\n"
                 "interrupted. -v prints one line per request a module answers.\n");
}

int64_t nowMs() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// SIGINT and SIGTERM arrive as readable data on the returned descriptor instead of
// interrupting the program.
int signalDescriptor() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

// A relative log path is taken from the scenario file's directory, as the test variants do.
std::string besideFile(const std::string& file, const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? path : file.substr(0, slash + 1) + path;
}

bool readFile(const char* path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Waits for the kernel to start the new device, so that the devices come up one after the
// other in scenario order. False on a time-out or a signal.
bool waitStarted(PresentedModule& module, int signalFd) {
    const int64_t deadline = nowMs() + kStartTimeoutMs;
    while (!module.started()) {
        const int64_t left = deadline - nowMs();
        if (left <= 0 || module.fd() < 0) {
            return false;
        }
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {module.fd(), POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
            return false;
        }
        if (fds[0].revents & POLLIN) {
            return false;
        }
        module.handleEvents(nowMs());
    }
    return true;
}

void run(std::vector<std::unique_ptr<PresentedModule>>& modules, int signalFd) {
    std::vector<pollfd> fds;
    for (;;) {
        int64_t now = nowMs();
        int64_t wake = now + kMaxSleepMs;
        fds.assign(1, pollfd{signalFd, POLLIN, 0});
        for (const auto& module : modules) {
            module->service(now);
            if (const auto due = module->nextDueMs(now); due && *due < wake) {
                wake = *due;
            }
            fds.push_back(pollfd{module->fd(), POLLIN, 0});  // -1 is skipped by poll
        }
        const int timeout = static_cast<int>(wake > now ? wake - now : 0);
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            std::perror("tavrik_sim: poll");
            return;
        }
        if (fds[0].revents & POLLIN) {
            return;
        }
        now = nowMs();
        for (size_t i = 0; i < modules.size(); ++i) {
            if (fds[i + 1].revents != 0) {
                modules[i]->handleEvents(now);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            printUsage(stderr);
            return 1;
        }
    }
    if (path == nullptr) {
        printUsage(stderr);
        return 1;
    }

    std::string text;
    if (!readFile(path, text)) {
        std::fprintf(stderr, "tavrik_sim: cannot read %s\n", path);
        return 1;
    }
    tavrik::virt::Scenario scenario;
    tavrik::virt::ScenarioError error;
    if (!tavrik::virt::parseScenario(text, scenario, error)) {
        std::fprintf(stderr, "tavrik_sim: %s: %s\n", path, tavrik::virt::describe(error).c_str());
        return 1;
    }
    if (scenario.modules.empty()) {
        std::fprintf(stderr, "tavrik_sim: %s describes no module\n", path);
        return 1;
    }
    std::FILE* busLog = nullptr;
    if (scenario.logPath) {
        const std::string logPath = besideFile(path, *scenario.logPath);
        busLog = std::fopen(logPath.c_str(), "a");
        if (busLog == nullptr) {
            std::fprintf(stderr, "tavrik_sim: cannot open the log %s\n", logPath.c_str());
            return 1;
        }
    }

    const int signalFd = signalDescriptor();
    if (signalFd < 0) {
        std::perror("tavrik_sim: signalfd");
        return 1;
    }

    std::vector<std::unique_ptr<PresentedModule>> modules;
    int status = 0;
    for (size_t i = 0; i < scenario.modules.size(); ++i) {
        modules.push_back(std::make_unique<PresentedModule>(scenario.modules[i], i + 1,
                                                            verbose ? stdout : nullptr, busLog));
        modules.back()->setWireMs(scenario.wireMs);
        if (const int rc = modules.back()->present(nowMs()); rc != 0) {
            std::fprintf(stderr, "tavrik_sim: cannot create a device through /dev/uhid: %s\n",
                         std::strerror(rc));
            status = 1;
            break;
        }
        if (!waitStarted(*modules.back(), signalFd)) {
            std::fprintf(stderr, "tavrik_sim: the kernel did not start device %zu\n", i + 1);
            status = 1;
            break;
        }
    }
    if (status == 0) {
        run(modules, signalFd);
    }
    for (const auto& module : modules) {
        module->remove();
    }
    close(signalFd);
    if (busLog != nullptr) {
        std::fclose(busLog);
    }
    return status;
}
