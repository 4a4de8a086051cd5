#include "process_cpu.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace tavrik::bench {

std::optional<unsigned long long> statCpuTicks(const std::string& text) {
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    // After the name: state (field 3) ... utime (14) and stime (15).
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int n = 3; n <= 15; ++n) {
        if (!(fields >> field)) {
            return std::nullopt;
        }
        if (n == 14 || n == 15) {
            try {
                size_t used = 0;
                const unsigned long long value = std::stoull(field, &used);
                if (used != field.size()) {
                    return std::nullopt;
                }
                (n == 14 ? utime : stime) = value;
            } catch (const std::exception&) {
                return std::nullopt;
            }
        }
    }
    return utime + stime;
}

double processCpuSeconds(pid_t pid) {
    const std::string path =
        pid == 0 ? std::string("/proc/self/stat") : "/proc/" + std::to_string(pid) + "/stat";
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    const std::optional<unsigned long long> ticks = statCpuTicks(text.str());
    if (!ticks) {
        return -1;
    }
    return static_cast<double>(*ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double processCpuPercent(pid_t pid, double seconds) {
    using Clock = std::chrono::steady_clock;
    const double cpu0 = processCpuSeconds(pid);
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu1 = processCpuSeconds(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    if (cpu0 < 0 || cpu1 < 0) {
        return -1;
    }
    return 100 * (cpu1 - cpu0) / wall;
}

}  // namespace tavrik::bench
