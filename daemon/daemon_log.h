// Plain lines on standard error; under systemd the journal takes them from there.
#pragma once

#include <cstdio>
#include <string>

namespace tavrik::daemon {

inline void logLine(const std::string& line) {
    std::fprintf(stderr, "tavrikd: %s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace tavrik::daemon
