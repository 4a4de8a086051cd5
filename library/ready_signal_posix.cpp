#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "ready_signal.h"

namespace tavrik {

ReadySignal::ReadySignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ReadySignal::~ReadySignal() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void ReadySignal::raise() {
    const uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
}

void ReadySignal::clear() {
    uint64_t count = 0;
    (void)!::read(fd_, &count, sizeof count);
}

}  // namespace tavrik
