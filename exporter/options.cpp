#include "options.h"

namespace tavrik::exporter {

const char kUsage[] =
    "Usage: tavrik_exporter [--listen ADDR:PORT] [--hold]\n"
    "       tavrik_exporter --textfile PATH\n"
    "       tavrik_exporter -h | -v\n"
    "Serves the Tavrik IO modules' metrics for Prometheus at http://ADDR:PORT/metrics\n"
    "(default 127.0.0.1:9786), or writes them once to PATH.\n";

bool parseListen(const std::string& text, std::string& address, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;  // an IPv6 address needs its brackets
    if (host.empty() || digits.empty() || digits.size() > 5)
        return false;
    unsigned long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > 65535)
        return false;
    address = host;
    port = static_cast<uint16_t>(value);
    return true;
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool listen = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto needsValue = [&]() {
            if (i + 1 < args.size())
                return true;
            error = arg + " needs a value";
            return false;
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-v" || arg == "--version") {
            options.version = true;
        } else if (arg == "--hold") {
            options.hold = true;
        } else if (arg == "--listen") {
            if (!needsValue())
                return false;
            if (!parseListen(args[++i], options.address, options.port)) {
                error = "not ADDR:PORT: " + args[i];
                return false;
            }
            listen = true;
        } else if (arg == "--textfile") {
            if (!needsValue())
                return false;
            options.textfile = args[++i];
            if (options.textfile.empty()) {
                error = "--textfile needs a path";
                return false;
            }
        } else {
            error = "unknown argument: " + arg;
            return false;
        }
    }
    if (!options.textfile.empty() && (listen || options.hold)) {
        error = "--textfile writes once; it takes neither --listen nor --hold";
        return false;
    }
    return true;
}

}  // namespace tavrik::exporter
