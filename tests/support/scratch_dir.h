// A scratch directory for tests: made fresh under the system temp directory, removed with
// everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

namespace tavrik::test {

class ScratchDir {
  public:
    // prefix starts the directory's name, so that a leftover says which test made it.
    explicit ScratchDir(const std::string& prefix = "tavrik-test") : path_(makeUnique(prefix)) {}
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
    // Thrown rather than left empty: later paths would land in the root directory.
#ifdef _WIN32
    // mkdtemp's job without mkdtemp: create_directory is true only for a directory it made,
    // so a name another process took is simply tried again with other letters.
    static std::string makeUnique(const std::string& prefix) {
        static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        // The clock is mixed in because some random_device builds give one fixed sequence.
        std::mt19937 random(
            std::random_device{}() ^
            static_cast<unsigned>(
                std::chrono::high_resolution_clock::now().time_since_epoch().count()));
        std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        std::string name;
        for (int attempt = 0; attempt < 100; ++attempt) {
            name = prefix + "-";
            for (int i = 0; i < 6; ++i) {
                name += kLetters[pick(random)];
            }
            std::error_code error;
            const std::filesystem::path candidate = base / name;
            if (std::filesystem::create_directory(candidate, error)) {
                return candidate.string();
            }
            if (error) {
                throw std::system_error(error, "create_directory " + candidate.string());
            }
        }
        throw std::system_error(EEXIST, std::generic_category(),
                                "no free name for " + (base / name).string());
    }
#else
    static std::string makeUnique(const std::string& prefix) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        return pattern;
    }
#endif

    std::string path_;
};

}  // namespace tavrik::test
