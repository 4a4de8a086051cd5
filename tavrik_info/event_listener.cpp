#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <sstream>
#include <vector>

#include "info_commands.h"

namespace tavrik {

namespace {

// The API thread prints events while the main thread may still be writing the prompt. One
// unformatted write per whole line keeps lines apart and leaves the stream's formatting state
// to a single thread.
void writeLine(const std::ostringstream& line) {
    const std::string text = line.str() + "\n";
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
}

// SIGINT, SIGTERM and SIGHUP end the listening as Enter does, so that a service manager, a
// closed terminal or Ctrl-C still closes the module and prints the last line. They are
// blocked before the module's API thread starts, which inherits the mask, so they reach only
// the wait for input, through a signalfd. A signal that the parent set to be ignored (nohup,
// a background job) stays ignored.
class EndSignals {
  public:
    EndSignals() {
        sigemptyset(&set_);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction current = {};
            if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
                sigaddset(&set_, signal);
            }
        }
        blocked_ = pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0;
        fd_ = blocked_ ? signalfd(-1, &set_, SFD_CLOEXEC) : -1;
    }
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;
    ~EndSignals() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (blocked_) {
            // A second signal while the module closed asked for the same end: drop it rather
            // than let it kill the process once unblocked.
            const timespec now = {0, 0};
            while (sigtimedwait(&set_, nullptr, &now) > 0) {
            }
            pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        }
    }

    int fd() const { return fd_; }

  private:
    sigset_t set_;
    sigset_t previous_;
    bool blocked_ = false;
    int fd_ = -1;
};

// Returns when standard input has a line or is at its end, or when an end signal arrived.
void awaitEnter(const EndSignals& signals) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
    while (signals.fd() >= 0 && poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            fds[0].revents = POLLIN;  // wait in the read alone
            break;
        }
    }
    if (signals.fd() < 0 || fds[0].revents != 0) {
        // A console hands over its input line by line, so this returns on Enter; it also
        // returns at the end of the input.
        std::cin.get();
    }
}

}  // namespace

void printEvent(const Event& event) {
    std::ostringstream line;
    if (event.kind == Event::Error) {
        line << "Error Event: " << resultMessage(event.value);
    } else if (event.kind == Event::Io) {
        line << "IO Event: " << ioTypeName(event.type) << "[" << event.index << "] ";
        if (event.type == PoeStatus) {
            printPoeStatus(line, event.value);
        } else {
            line << event.value;
        }
    } else {
        line << "Unknown Event: " << event.kind << ":" << event.value;
    }
    writeLine(line);
}

int listenForEvents(int32_t dev) {
    const EndSignals signals;
    const std::vector<std::string> serials = devices();
    Device device;
    if (!openListedDevice(serials, dev, device)) {
        return -1;
    }
    device.setEventCallback(printEvent);
    std::ostringstream prompt;
    prompt << "Listening for events...  Press enter to exit";
    writeLine(prompt);
    awaitEnter(signals);
    // The API thread's final ApiThreadStopped event still prints while close() joins it.
    device.close();
    return 0;
}

}  // namespace tavrik
