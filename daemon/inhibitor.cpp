// Inhibit(): the module is released to a caller for as long as the returned descriptor is
// open anywhere. The daemon keeps the read end of a pipe; it sees the end of the hold as
// EPOLLHUP once every copy of the write end is closed, also when the holder dies.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "daemon.h"
#include "daemon_log.h"
#include "module_holder.h"

namespace tavrik::daemon {

namespace {

// The write end until the reply has carried it (sd-bus sends a copy of it).
class OwnedFd {
  public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { ::close(fd_); }
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

int ModuleHolder::inhibit(sd_bus_message* call, void* self, sd_bus_error* error) {
    auto* holder = static_cast<ModuleHolder*>(self);
    const char* reason = nullptr;
    int r = sd_bus_message_read(call, "s", &reason);
    if (r < 0) {
        return r;
    }
    // One holder at a time: a second one would find the module taken anyway.
    if (holder->state_ == ModuleState::Inhibited) {
        return setResultError(error, DeviceBusy);
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) {
        return -errno;
    }
    // Only the daemon's end: the holder's stays as an ordinary descriptor.
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    r = sd_event_add_io(holder->daemon_.event(), &holder->inhibitSource_, fds[0], EPOLLIN,
                        &ModuleHolder::onInhibitFd, holder);
    if (r < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return r;
    }
    holder->inhibitFd_ = fds[0];
    logLine(holder->serial_ + ": inhibited: " + reason);
    holder->cancelReopen();
    holder->setState(ModuleState::Inhibited);
    // The reply waits until the module is closed, so that the caller can open it at once.
    auto reply = std::make_shared<PendingReply>(call);
    auto writeEnd = std::make_shared<OwnedFd>(fds[1]);
    holder->stopDevice(
        [reply, writeEnd] { sd_bus_reply_method_return(reply->call(), "h", writeEnd->get()); });
    return 1;
}

int ModuleHolder::onInhibitFd(sd_event_source*, int fd, uint32_t events, void* self) {
    char buffer[256];
    if ((events & EPOLLIN) != 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        // What a holder writes means nothing; only the end of the pipe does.
        if (n > 0 || (n < 0 && errno == EAGAIN && (events & EPOLLHUP) == 0)) {
            return 0;
        }
    }
    static_cast<ModuleHolder*>(self)->releaseInhibitor();
    return 0;
}

void ModuleHolder::releaseInhibitor() {
    inhibitSource_ = sd_event_source_disable_unref(inhibitSource_);
    ::close(inhibitFd_);
    inhibitFd_ = -1;
    logLine(serial_ + ": released");
    // The scan decides what it is now: attached in either mode, or gone.
    backoffMs_ = daemon_.options().reopenMinMs;
    setState(ModuleState::Reopening);
    daemon_.scanSoon();
}

}  // namespace tavrik::daemon
