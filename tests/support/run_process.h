// Runs a program as a child process and captures what it writes and how it ends.
#pragma once

#include <map>
#include <memory>
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

// A child whose standard input stays open, for programs that wait on their input while the
// test watches what they print.
class RunningProcess {
  public:
    RunningProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {});
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    ~RunningProcess();  // finishes the child if the test did not

    // Collects output until standard output contains text, the child closes its outputs or
    // timeoutMs passes; true when the text appeared.
    bool waitForOutput(const std::string& text, int timeoutMs);
    const std::string& out() const { return collected_.out; }

#ifndef _WIN32
    // Sends a signal to the child; its standard input stays open.
    void sendSignal(int signal);
#endif

    // Closes its standard input, collects the rest of its outputs and waits for its end.
    ProcessResult finish();

  private:
    ProcessResult collected_;
#ifdef _WIN32
    // Reader threads and process handles, kept out of the header so it needs no <windows.h>.
    struct Child;
    std::unique_ptr<Child> child_;
#else
    bool readAvailable(int timeoutMs);

    int pid_ = -1;
    int inFd_ = -1, outFd_ = -1, errFd_ = -1;
#endif
};

}  // namespace tavrik::test
