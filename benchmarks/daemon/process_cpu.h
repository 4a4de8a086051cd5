// CPU time of a whole process as the kernel accounts it in /proc/PID/stat, so that the service
// and the direct program are measured the same way from the same source.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tavrik::bench {

// utime + stime in clock ticks from the text of a /proc/PID/stat file; nothing when the text
// is not one. The command name may hold spaces and parentheses, so fields count from the
// last ')'.
std::optional<unsigned long long> statCpuTicks(const std::string& text);

// Seconds of CPU of process pid (0: this process) so far; a negative value when it cannot be
// read.
double processCpuSeconds(pid_t pid);

// Percentage of one core that process pid used over a window of this many seconds; the caller
// sleeps meanwhile. Negative when the process could not be read.
double processCpuPercent(pid_t pid, double seconds);

}  // namespace tavrik::bench
