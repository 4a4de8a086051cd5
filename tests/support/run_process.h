// Runs a program as a child process and captures what it writes and how it ends.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tavrik::test {

struct ProcessResult {
    std::string out;
    std::string err;
    int exitStatus = -1;  // 0..255 as the shell sees it, or -1 when it did not exit normally
};

struct ProcessOptions {
    std::vector<std::string> args;           // after the program name
    std::map<std::string, std::string> env;  // added to or replacing the inherited environment
    std::string input;                       // written to its standard input, then closed
};

// Starts program (a path) and waits for it to end.
ProcessResult runProcess(const std::string& program, const ProcessOptions& options = {});

}  // namespace tavrik::test
