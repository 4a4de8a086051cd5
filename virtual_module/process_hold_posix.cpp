#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "process_hold.h"

namespace tavrik::virt {

int takeProcessHold(const std::string& dir, size_t index) {
    const std::string path = dir + "/module-" + std::to_string(index) + ".hold";
    // Open to every user: the programs of one test may run as different users.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    ::fchmod(fd, 0666);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void releaseProcessHold(int hold) {
    if (hold >= 0) {
        ::close(hold);
    }
}

}  // namespace tavrik::virt
