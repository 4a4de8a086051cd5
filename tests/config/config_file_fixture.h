// A scratch directory with the path of a tavrik.ini in it, and the file's text as bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config_file.h"
#include "scratch_dir.h"

namespace tavrik {

class ConfigFileTest : public ::testing::Test {
  protected:
    // A test that changes permissions must leave the directory removable.
    void TearDown() override { EXPECT_TRUE(scratch_.remove()); }

    // At path_, which a test may move within the directory.
    void writeFile(const std::string& text) const {
        std::ofstream(path_, std::ios::binary) << text;
    }

    std::string fileText() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Sorted by name.
    std::vector<std::string> directoryEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // What writes leave in the directory: the file and, on Linux, the writers' lock file.
    static std::vector<std::string> writtenEntries() {
#ifdef _WIN32
        return {"tavrik.ini"};
#else
        return {"tavrik.ini", "tavrik.ini.lock"};
#endif
    }

    test::ScratchDir scratch_{"tavrik-config"};
    const std::string dir_ = scratch_.path();
    std::string path_ = scratch_.path("tavrik.ini");
};

}  // namespace tavrik
