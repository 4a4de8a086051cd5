#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace tavrik::daemon {

const char kUsage[] =
    "usage: tavrikd [--session | --bus ADDRESS] [--reopen-min-ms N] [--reopen-max-ms N]\n"
    "               [--rescan-ms N] [-v|--version] [-h|--help]\n"
    "Holds every attached Tavrik IO module and shares it on the system bus as io.tavrik1.\n"
    "  --session          use the session bus instead of the system bus\n"
    "  --bus ADDRESS      connect to the bus at ADDRESS (unix:path=...)\n"
    "  --reopen-min-ms N  first pause before a stopped module is opened again (1000)\n"
    "  --reopen-max-ms N  longest such pause (30000)\n"
    "  --rescan-ms N      period of the scan for modules (10000)\n"
    "  -v, --version      print the version\n"
    "  -h, --help         print this help\n";

namespace {

bool readPositive(const std::string& text, int& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed <= 0 || parsed > 24L * 3600 * 1000) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace

std::string parseOptions(const std::vector<std::string>& args, DaemonOptions& options) {
    options = DaemonOptions{};
    bool busGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-v" || arg == "--version") {
            options.version = true;
        } else if (arg == "--session" || arg == "--bus") {
            if (busGiven) {
                return "only one of --session and --bus may be given";
            }
            busGiven = true;
            if (arg == "--session") {
                options.bus = DaemonOptions::Bus::Session;
            } else {
                if (!hasValue || args[i + 1].empty()) {
                    return "--bus needs an address";
                }
                options.bus = DaemonOptions::Bus::Address;
                options.address = args[++i];
            }
        } else if (arg == "--reopen-min-ms" || arg == "--reopen-max-ms" || arg == "--rescan-ms") {
            int* target = arg == "--reopen-min-ms"   ? &options.reopenMinMs
                          : arg == "--reopen-max-ms" ? &options.reopenMaxMs
                                                     : &options.rescanMs;
            if (!hasValue || !readPositive(args[i + 1], *target)) {
                return arg + " needs a number of milliseconds above 0";
            }
            ++i;
        } else {
            return "unknown argument: " + arg;
        }
    }
    if (options.reopenMaxMs < options.reopenMinMs) {
        return "--reopen-max-ms is below --reopen-min-ms";
    }
    return "";
}

}  // namespace tavrik::daemon
