#include "config_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "ini_text.h"

namespace tavrik {

namespace {

// Far above any real file; a larger one is not a tavrik.ini.
constexpr off_t kFileLimit = 1 << 20;

// NotUsable: not a regular file (a FIFO or a device would block or never end) or larger than
// the limit. It reads as a missing file, but a write must not replace it.
enum class ReadOutcome { Read, Missing, NotUsable, Failed };

ReadOutcome readWholeFile(const std::string& path, std::string& text) {
    text.clear();
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Failed;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return ReadOutcome::Failed;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kFileLimit) {
        ::close(fd);
        return ReadOutcome::NotUsable;
    }
    char chunk[4096];
    ReadOutcome outcome = ReadOutcome::Read;
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            outcome = ReadOutcome::Failed;
            break;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > static_cast<size_t>(kFileLimit)) {  // grew while being read
            outcome = ReadOutcome::NotUsable;
            break;
        }
    }
    ::close(fd);
    if (outcome != ReadOutcome::Read) {
        text.clear();
    }
    return outcome;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

// Readers see either the old file or the new one, never a partial write.
bool replaceFile(const std::string& path, const std::string& text) {
    struct stat original;
    const mode_t mode = ::stat(path.c_str(), &original) == 0 ? (original.st_mode & 07777) : 0644;

    std::vector<char> tempName(path.begin(), path.end());
    const char suffix[] = ".XXXXXX";
    tempName.insert(tempName.end(), suffix, suffix + sizeof suffix);
    const int fd = ::mkstemp(tempName.data());
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tempName.data(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tempName.data());
        return false;
    }
    // Makes the rename itself durable; the new file is in place either way.
    const int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

// How long a writer waits for another one before it gives up the write: far longer than any
// write takes, short enough that a lock held for ever (by a stuck or hostile process) costs a
// command a moment instead of hanging it.
constexpr auto kLockWait = std::chrono::seconds(3);
constexpr auto kLockPoll = std::chrono::milliseconds(5);

// The writers' lock: an exclusive flock on a lock file beside the configuration. Any process
// that can open a file can flock it, so the file must be one that only the writer can open:
// created 0600, never followed through a symbolic link, and used only when it is a plain file
// of the writer's own with no other name. The directory itself would not do: every user may
// open /etc and hold its lock. Returns the locked descriptor, or -1.
int takeWriterLock(const std::string& lockPath) {
    const int fd =
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    const bool ours = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                      info.st_uid == ::geteuid() && info.st_nlink == 1 &&
                      ((info.st_mode & 077) == 0 || ::fchmod(fd, 0600) == 0);
    if (ours) {
        // The schedule is on the monotonic clock, so a change of the wall clock cannot
        // stretch or cut the wait.
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                return fd;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                break;
            }
            std::this_thread::sleep_for(kLockPoll);
        }
    }
    ::close(fd);
    return -1;
}

// Holds the writers' lock while it lives, unless an Update of the same object holds it already.
class WriterLock {
  public:
    WriterLock(const std::string& path, intptr_t heldByUpdate)
        : fd_(heldByUpdate >= 0 ? -1 : takeWriterLock(configLockPath(path))),
          held_(heldByUpdate >= 0 || fd_ >= 0) {}
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    ~WriterLock() {
        if (fd_ >= 0) {
            ::close(fd_);  // releases the lock
        }
    }
    bool held() const { return held_; }

  private:
    int fd_;
    bool held_;
};

// A missing or unusable file reads as empty, so every lookup yields its default.
std::string textOf(const std::string& path) {
    std::string text;
    readWholeFile(path, text);
    return text;
}

std::string stringIn(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& defaultValue) {
    std::string value = readIniValue(text, section, key).value_or(defaultValue);
    if (value.size() > kConfigValueLimit) {
        value.resize(kConfigValueLimit);
    }
    return value;
}

}  // namespace

ConfigFile::ConfigFile(const std::string& fileName)
    : path_(fileName.find('/') == std::string::npos ? configDirectory() + "/" + fileName
                                                    : fileName) {}

// Each lookup reads the file once, and again for the next one, so that a command sees an
// administrator's edit at once.
ConfigFile::Lookup ConfigFile::lookup() const {
    return [text = textOf(path_)](const std::string& section, const std::string& key,
                                  const std::string& defaultValue) {
        return stringIn(text, section, key, defaultValue);
    };
}

bool ConfigFile::writeValue(const std::string& section, const std::string& key,
                            const std::string& value) {
    // Two programs writing at once would each rewrite the file from what they read, and the
    // first one's key would be lost. The lock is a file of its own, because the file itself is
    // replaced by each write.
    const WriterLock lock(path_, updateLock_);
    if (!lock.held()) {
        return false;
    }
    std::string text;
    // Rewriting a file that could not be read would lose its contents, and whatever stands in
    // place of the file that is not one is not ours to replace.
    const ReadOutcome outcome = readWholeFile(path_, text);
    if (outcome != ReadOutcome::Read && outcome != ReadOutcome::Missing) {
        return false;
    }
    return replaceFile(path_, writeIniValue(text, section, key, value));
}

ConfigFile::Update::Update(ConfigFile& file) : file_(file) {
    const int fd = takeWriterLock(configLockPath(file_.path_));
    held_ = fd >= 0;
    file_.updateLock_ = fd;
}

ConfigFile::Update::~Update() {
    if (file_.updateLock_ >= 0) {
        ::close(static_cast<int>(file_.updateLock_));  // releases the lock
        file_.updateLock_ = -1;
    }
}

std::string configLockPath(const std::string& path) {
    return path + ".lock";
}

bool mayWriteConfig(const std::string& path) {
    // The file is replaced by a rename, which needs the directory as well as the file.
    const bool directoryWritable = ::access(directoryOf(path).c_str(), W_OK) == 0;
    if (::access(path.c_str(), F_OK) != 0) {
        return directoryWritable;
    }
    return directoryWritable && ::access(path.c_str(), W_OK) == 0;
}

}  // namespace tavrik
