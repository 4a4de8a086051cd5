// The end of event listening: Enter, the end of the input, or the system asking the program to
// stop (SIGINT, SIGTERM or SIGHUP; on Windows Ctrl-C, Ctrl-Break or the console closing).
// Those requests end the listening as Enter does, so that the module is still closed and the
// last line printed.
#pragma once

#include <memory>

namespace tavrik {

class ListeningEnd {
  public:
    // Before the module's API thread starts: on Linux that thread inherits the signal mask
    // that keeps the requests for the wait.
    ListeningEnd();
    ~ListeningEnd();
    ListeningEnd(const ListeningEnd&) = delete;
    ListeningEnd& operator=(const ListeningEnd&) = delete;

    // Returns on Enter, at the end of the input, or on a request to stop.
    void await();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tavrik
