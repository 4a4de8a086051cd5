#include <csignal>

#include <pthread.h>

#include "signal_mask.h"

namespace tavrik {

struct SignalsBlocked::Saved {
    sigset_t mask;
};

SignalsBlocked::SignalsBlocked() : saved_(std::make_unique<Saved>()) {
    sigset_t all;
    sigfillset(&all);
    if (pthread_sigmask(SIG_BLOCK, &all, &saved_->mask) != 0) {
        saved_.reset();
    }
}

SignalsBlocked::~SignalsBlocked() {
    if (saved_) {
        pthread_sigmask(SIG_SETMASK, &saved_->mask, nullptr);
    }
}

}  // namespace tavrik
