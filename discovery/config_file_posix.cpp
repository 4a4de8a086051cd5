#include "config_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
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

// Holds an exclusive advisory lock on a directory while it lives; a directory that cannot be
// opened is not locked, and the write that follows fails on its own.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::string& directory)
        : fd_(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    ~DirectoryLock() {
        if (fd_ >= 0) {
            ::close(fd_);  // releases the lock
        }
    }

  private:
    int fd_;
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
    // first one's key would be lost. The lock is on the directory, because the file itself is
    // replaced by each write.
    const DirectoryLock lock(directoryOf(path_));
    std::string text;
    // Rewriting a file that could not be read would lose its contents, and whatever stands in
    // place of the file that is not one is not ours to replace.
    const ReadOutcome outcome = readWholeFile(path_, text);
    if (outcome != ReadOutcome::Read && outcome != ReadOutcome::Missing) {
        return false;
    }
    return replaceFile(path_, writeIniValue(text, section, key, value));
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
