// The command line of tavrik_exporter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrik::exporter {

// The default port; --listen picks another where it is taken.
constexpr uint16_t kDefaultPort = 9786;

struct Options {
    std::string address = "127.0.0.1";
    uint16_t port = kDefaultPort;
    std::string textfile;  // set: write the metrics there once and exit
    bool hold = false;
    bool help = false;
    bool version = false;
};

// Fills options from the arguments after the program name; on a mistake returns false with
// the reason in error.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// Splits ADDR:PORT ([ADDR]:PORT for IPv6); the address is checked when it is bound.
bool parseListen(const std::string& text, std::string& address, uint16_t& port);

extern const char kUsage[];

}  // namespace tavrik::exporter
