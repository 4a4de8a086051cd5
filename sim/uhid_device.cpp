#include "uhid_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tavrik::sim {

UhidDevice::~UhidDevice() {
    destroy();
}

int UhidDevice::create(const UhidIdentity& identity) {
    destroy();
    const int fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    fd_ = fd;
    const int rc = send(createRequest(identity));
    if (rc != 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return rc;
}

void UhidDevice::destroy() {
    if (fd_ < 0) {
        return;
    }
    // Closing the descriptor would remove the device as well; saying so is the documented way.
    send(destroyRequest());
    ::close(fd_);
    fd_ = -1;
}

int UhidDevice::send(const uhid_event& event) {
    if (fd_ < 0) {
        return EBADF;
    }
    ssize_t n;
    do {
        n = ::write(fd_, &event, sizeof event);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return errno;
    }
    return n == static_cast<ssize_t>(sizeof event) ? 0 : EIO;
}

std::optional<UhidMessage> UhidDevice::receive() {
    if (fd_ < 0) {
        return std::nullopt;
    }
    uhid_event event{};
    ssize_t n;
    do {
        n = ::read(fd_, &event, sizeof event);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return std::nullopt;
    }
    return parseEvent(event, static_cast<size_t>(n));
}

}  // namespace tavrik::sim
