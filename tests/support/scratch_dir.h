// A scratch directory for tests: made fresh under the system temp directory, removed with
// everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace tavrik::test {

class ScratchDir {
  public:
    // prefix starts the directory's name, so that a leftover says which test made it.
    explicit ScratchDir(const std::string& prefix = "tavrik-test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            // Thrown rather than left empty: later paths would land in the root directory.
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
    }
    ~ScratchDir() { remove(); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string path(const std::string& name) const { return path_ + "/" + name; }

    // Writes content to the file name (replacing it) and returns its path.
    std::string file(const std::string& name, const std::string& content) const {
        const std::string at = path(name);
        std::ofstream(at, std::ios::binary) << content;
        return at;
    }

    // The content of the file name; empty when it cannot be read.
    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Removes the directory now, for a test that checks nothing was left behind that it could
    // not remove; true when it is gone.
    bool remove() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        return !error;
    }

  private:
    std::string path_;
};

}  // namespace tavrik::test
