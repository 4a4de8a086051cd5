// tavrikd: holds every attached module and shares it on the bus.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daemon.h"
#include "tavrik/version.h"

#ifndef TAVRIKD_USE_UDEV
#define TAVRIKD_USE_UDEV 1
#endif

int main(int argc, char** argv) {
    using namespace tavrik::daemon;
    DaemonOptions options;
    const std::string problem =
        parseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!problem.empty()) {
        std::fprintf(stderr, "tavrikd: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("version: %s\n", TAVRIK_VERSION);
        return 0;
    }
    // Blocked before any thread starts, so that only the loop's signal source takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    // A holder that closes its end of a pipe must not end the daemon.
    signal(SIGPIPE, SIG_IGN);

    Daemon daemon(options, TAVRIKD_USE_UDEV != 0);
    return daemon.run();
}
