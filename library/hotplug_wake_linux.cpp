#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdint>

#include "hotplug_monitor.h"
#include "hotplug_wake.h"
#include "service_modules.h"

namespace tavrik {

struct HotplugWake::Impl {
    sd_event* event = nullptr;
    HotplugMonitor udev;
    bool woken = false;  // a report was handled on the loop
    int interruptFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    // Handles what has come in, also what the bus read ahead during the monitor's own calls.
    void runPending() {
        while (sd_event_run(event, 0) > 0) {
        }
    }
};

HotplugWake::HotplugWake(ServiceModules& service) : impl_(std::make_unique<Impl>()) {
    if (sd_event_new(&impl_->event) >= 0) {
        // A report only needs to end the wait: the monitor scans after every one. Either
        // source may be missing (no udev or netlink in many containers, no service): the
        // periodic scan still works.
        Impl* d = impl_.get();
        d->udev.start(d->event, [d] { d->woken = true; });
        service.follow(d->event, [d] { d->woken = true; });
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
    Impl& d = *impl_;
    if (d.event != nullptr) {
        d.runPending();
    }
    pollfd fds[2] = {};
    fds[0].fd = d.interruptFd;
    fds[0].events = POLLIN;
    fds[1].fd = d.event != nullptr ? sd_event_get_fd(d.event) : -1;
    fds[1].events = POLLIN;
    ::poll(fds, 2, d.woken ? 0 : timeoutMs);
    if (fds[0].revents & POLLIN) {
        uint64_t count = 0;
        (void)!::read(d.interruptFd, &count, sizeof count);
    }
    if (d.event != nullptr) {
        d.runPending();
    }
    d.woken = false;
}

void HotplugWake::interrupt() {
    const uint64_t one = 1;
    (void)!::write(impl_->interruptFd, &one, sizeof one);
}

}  // namespace tavrik
