// The API thread takes no process signals. Its HID read waits in poll(), which a signal handler
// of the user's program would interrupt; a failed read stops the thread, so a SIGCHLD or a
// SIGWINCH must not reach it. The thread inherits the mask of the thread that starts it.
#pragma once

#include <memory>

namespace tavrik {

// While it lives, the calling thread blocks every signal that can be blocked; threads started
// meanwhile keep that mask. Nothing on platforms without POSIX signals.
class SignalsBlocked {
  public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;  // the mask to restore; null when nothing was blocked
};

}  // namespace tavrik
