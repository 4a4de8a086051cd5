// tavrik.ini: module indexes, names and point-count limits, read and written like a Windows
// profile file (case-insensitive names, 255-character values, defaults for anything missing).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tavrik_result.h"

namespace tavrik {

constexpr int kConfigSections = 10;
constexpr const char* kConfigFileName = "tavrik.ini";
// Profile reads go through a 256-byte buffer: 255 characters of a value take effect.
constexpr size_t kConfigValueLimit = 255;

struct ModuleSettings {
    std::string name;                          // empty = none
    std::array<int32_t, kIoTypeCount> limits;  // -1 = none
};

// "device" followed by the decimal index.
std::string sectionName(int index);

// The system-wide directory of the file, set when the program is built. Empty on Windows,
// where the profile functions place a bare name in the Windows directory.
std::string configDirectory();

class ConfigFile {
  public:
    // A bare name resolves in configDirectory(); a name with a '/' (or on Windows a '\\') is
    // taken as a path.
    explicit ConfigFile(const std::string& fileName = kConfigFileName);

    const std::string& path() const { return path_; }
    std::string readString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // False when the write failed, or when the entry would not read back as written: a value
    // that no text in the file can hold (isRecordable), or a name the reader would not find
    // again. A value with outer blanks or outer quotes of its own is written in quotes. On
    // Linux the file is replaced atomically, so a failed write leaves the old one intact.
    bool writeString(const std::string& section, const std::string& key, const std::string& value);
    // Whether writeString can record the value so that it reads back byte for byte: no line
    // break, no NUL, and at most kConfigValueLimit characters as it stands in the file.
    static bool isRecordable(const std::string& value);
    int32_t readInt(const std::string& section, const std::string& key, int32_t defaultValue) const;
    // First index 0 to 9 whose "serial" (default "-1") equals serial, else -1.
    int findIndex(const std::string& serial) const;
    ModuleSettings readModuleSettings(int index) const;

    // While it lives, this object's reads and writes form one update: no other writer's
    // update or write comes between them, so a choice made from what was read still holds
    // when it is written. On Linux it holds a lock file next to the file ("tavrik.ini.lock"),
    // which only the writer may open; held() is false when that lock is not ours or another
    // writer kept it for longer than a few seconds, and the update's writes are then not to
    // be made. On Windows the profile functions write key by key, and held() is always true.
    // One update per object at a time.
    class Update {
      public:
        explicit Update(ConfigFile& file);
        Update(const Update&) = delete;
        Update& operator=(const Update&) = delete;
        ~Update();
        bool held() const { return held_; }

      private:
        ConfigFile& file_;
        bool held_ = false;
    };

    // The value of a key, or the default; at most kConfigValueLimit characters.
    using Lookup = std::function<std::string(const std::string& section, const std::string& key,
                                             const std::string& defaultValue)>;

  private:
    // One look at the file for a run of lookups: the whole text read once where the file is
    // ours to read, the profile functions key by key on Windows.
    Lookup lookup() const;
    bool writeValue(const std::string& section, const std::string& key, const std::string& value);

    std::string path_;
    // The platform's handle of the lock that an Update holds for this object; -1 when none.
    intptr_t updateLock_ = -1;
};

#ifndef _WIN32
// Whether the process may write the system-wide file (or create it in its directory).
bool mayWriteConfig(const std::string& path);
// The lock file of the file at path, which writers hold for each write and update.
std::string configLockPath(const std::string& path);
#endif

}  // namespace tavrik
