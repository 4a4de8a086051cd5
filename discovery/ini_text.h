// The text of tavrik.ini, read and edited in place: a write changes only the written value and
// keeps every other byte, so a hand-edited file survives the device list's bookkeeping.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

// The value of the first matching key in the first matching section, names compared without
// regard to ASCII case. The value is trimmed of spaces and tabs, and one pair of surrounding
// double or single quotes is removed. nullopt when the section or the key is absent.
std::optional<std::string> readIniValue(std::string_view text, std::string_view section,
                                        std::string_view key);

// The text with that key's value replaced; a missing key is added after the last key of its
// section, a missing section at the end. New lines use the file's line break (CR LF or LF).
// Line breaks inside the arguments are the caller's to refuse.
std::string writeIniValue(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view value);

}  // namespace tavrik
