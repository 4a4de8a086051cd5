#include "node_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace tavrik::hid
