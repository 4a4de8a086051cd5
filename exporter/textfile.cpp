#include "textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tavrik::exporter {

namespace {

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

std::string failure(const std::string& what, const std::string& path, int code) {
    return what + " " + path + ": " + std::strerror(code);
}

}  // namespace

bool replaceTextfile(const std::string& path, const std::string& text, std::string& error) {
    // mkstemp creates the file exclusively, so a name planted in a directory another user may
    // write is never followed. The suffix keeps it out of the collector's *.prom glob.
    std::vector<char> temp(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    temp.insert(temp.end(), suffix, suffix + sizeof suffix);
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = failure("cannot write", path, errno);
        return false;
    }
    // The collector may run as another user; the metrics are not secret.
    bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    int code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlink(temp.data());
        error = failure("cannot write", temp.data(), code);
        return false;
    }
    if (::rename(temp.data(), path.c_str()) != 0) {
        code = errno;
        ::unlink(temp.data());
        error = failure("cannot rename to", path, code);
        return false;
    }
    // Makes the rename itself durable; the new file is in place either way.
    const int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace tavrik::exporter
