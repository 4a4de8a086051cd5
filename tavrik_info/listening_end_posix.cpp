// The requests to stop are blocked before the module's API thread starts, which inherits the
// mask, so they reach only the wait for input, through a signalfd. A signal that the parent set
// to be ignored (nohup, a background job) stays ignored.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "listening_end.h"

namespace tavrik {

struct ListeningEnd::State {
    sigset_t set;
    sigset_t previous;
    bool blocked = false;
    int fd = -1;
};

ListeningEnd::ListeningEnd() : state_(std::make_unique<State>()) {
    sigemptyset(&state_->set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current = {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&state_->set, signal);
        }
    }
    state_->blocked = pthread_sigmask(SIG_BLOCK, &state_->set, &state_->previous) == 0;
    state_->fd = state_->blocked ? signalfd(-1, &state_->set, SFD_CLOEXEC) : -1;
}

ListeningEnd::~ListeningEnd() {
    if (state_->fd >= 0) {
        ::close(state_->fd);
    }
    if (state_->blocked) {
        // A second signal while the module closed asked for the same end: drop it rather than
        // let it kill the process once unblocked.
        const timespec now = {0, 0};
        while (sigtimedwait(&state_->set, nullptr, &now) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &state_->previous, nullptr);
    }
}

void ListeningEnd::await() {
    const int signalFd = state_->fd;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
    while (signalFd >= 0 && poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            fds[0].revents = POLLIN;  // wait in the read alone
            break;
        }
    }
    if (signalFd < 0 || fds[0].revents != 0) {
        // A console hands over its input line by line, so this returns on Enter; it also
        // returns at the end of the input.
        std::cin.get();
    }
}

}  // namespace tavrik
