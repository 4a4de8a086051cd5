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

// The text with that key's value replaced by valueText as it stands (see iniValueText); a
// missing key is added after the last key of its section, a missing section at the end. New
// lines use the file's line break (CR LF or LF). Names and values that would not read back
// (isIniSectionName, isIniKeyName, iniValueText) are the caller's to refuse.
std::string writeIniValue(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view valueText);

// What to write after '=' so that readIniValue gives value back byte for byte: the value as it
// is, or in double quotes when the reader would otherwise drop its outer blanks or an outer
// pair of quotes of its own. nullopt when no text can hold it: a line break or a NUL byte.
std::optional<std::string> iniValueText(std::string_view value);

// Whether a section or key of that name, once written, is found again by that name: one line,
// no NUL, no outer blanks, and nothing that reads as the end of a header (']' in a section),
// the end of a key ('=') or the start of a header or a comment ('[', ';', '#' first in a key).
bool isIniSectionName(std::string_view name);
bool isIniKeyName(std::string_view name);

}  // namespace tavrik
