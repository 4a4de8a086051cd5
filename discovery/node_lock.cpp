#include "node_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "hidapi_platform.h"
#include "tavrik_hid.h"

namespace tavrik::hid {

NodeLockResult lockNode(const char* path, int* fd) {
    const int lockFd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (lockFd < 0) {
        return NodeLockResult::Failed;
    }
    int rc;
    do {
        rc = ::flock(lockFd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(lockFd);
        return busy ? NodeLockResult::Busy : NodeLockResult::Failed;
    }
    *fd = lockFd;
    return NodeLockResult::Locked;
}

void unlockNode(int fd) {
    // Closing the only descriptor of the open file description releases the lock.
    ::close(fd);
}

// The lock comes first so that a module held elsewhere is never opened beside it.
::hid_device* openExclusive(const char* path, int* status, ExclusiveClaim* claim) {
    *status = kOpenFailed;
    int lockFd = -1;
    switch (lockNode(path, &lockFd)) {
        case NodeLockResult::Locked:
            break;
        case NodeLockResult::Busy:
            *status = kOpenBusy;
            return nullptr;
        case NodeLockResult::Failed:
            return nullptr;
    }
    ::hid_device* handle = ::hid_open_path(path);
    if (handle == nullptr) {
        unlockNode(lockFd);
        return nullptr;
    }
    *claim = lockFd;
    *status = kOpenOk;
    return handle;
}

void closeExclusive(::hid_device* handle, ExclusiveClaim claim) {
    ::hid_close(handle);
    unlockNode(static_cast<int>(claim));
}

}  // namespace tavrik::hid
