// tavrikd's command line, read by a pure function so that every form can be tested alone.
#pragma once

#include <string>
#include <vector>

namespace tavrik::daemon {

struct DaemonOptions {
    enum class Bus { System, Session, Address };
    Bus bus = Bus::System;
    std::string address;  // Bus::Address
    bool help = false;
    bool version = false;
    // How long a module that stopped answering waits before the first new try, and the
    // longest wait the doubling reaches.
    int reopenMinMs = 1000;
    int reopenMaxMs = 30000;
    // Period of the scan that finds modules where no udev tells of them.
    int rescanMs = 10000;
};

// Arguments after the program name. Returns an empty string, or what is wrong.
std::string parseOptions(const std::vector<std::string>& args, DaemonOptions& options);

extern const char kUsage[];

}  // namespace tavrik::daemon
