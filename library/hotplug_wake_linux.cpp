#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdint>

#include "hotplug_monitor.h"
#include "hotplug_wake.h"

namespace tavrik {

struct HotplugWake::Impl {
    sd_event* event = nullptr;
    HotplugMonitor udev;
    bool following = false;  // udev reaches us; not so in many containers
    int interruptFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

HotplugWake::HotplugWake() : impl_(std::make_unique<Impl>()) {
    if (sd_event_new(&impl_->event) >= 0) {
        // A report only needs to end the wait: the monitor scans after every one.
        impl_->following = impl_->udev.start(impl_->event, [] {}) >= 0;
    }
}

HotplugWake::~HotplugWake() {
    impl_->udev.stop();
    sd_event_unref(impl_->event);
    if (impl_->interruptFd >= 0) {
        ::close(impl_->interruptFd);
    }
}

void HotplugWake::wait(int timeoutMs) {
    pollfd fds[2] = {};
    fds[0].fd = impl_->interruptFd;
    fds[0].events = POLLIN;
    fds[1].fd = impl_->following ? sd_event_get_fd(impl_->event) : -1;
    fds[1].events = POLLIN;
    ::poll(fds, 2, timeoutMs);
    if (fds[0].revents & POLLIN) {
        uint64_t count = 0;
        (void)!::read(impl_->interruptFd, &count, sizeof count);
    }
    if (impl_->following) {
        while (sd_event_run(impl_->event, 0) > 0) {
        }
    }
}

void HotplugWake::interrupt() {
    const uint64_t one = 1;
    (void)!::write(impl_->interruptFd, &one, sizeof one);
}

}  // namespace tavrik
