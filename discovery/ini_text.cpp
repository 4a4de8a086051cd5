#include "ini_text.h"

namespace tavrik {

namespace {

constexpr size_t npos = std::string_view::npos;

enum class LineKind { Other, Section, Key };

// One line of the file; offsets are into the whole text.
struct IniLine {
    LineKind kind = LineKind::Other;
    std::string_view name;  // of the section or the key, trimmed
    size_t valueBegin = 0;  // the trimmed value of a key
    size_t valueEnd = 0;
    size_t next = 0;  // where the following line starts
    bool endsWithBreak = false;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Narrows [begin, end) to its part without leading and trailing blanks.
void trim(std::string_view text, size_t& begin, size_t& end) {
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

IniLine parseLine(std::string_view text, size_t begin) {
    IniLine line;
    const size_t lineFeed = text.find('\n', begin);
    line.endsWithBreak = lineFeed != npos;
    line.next = line.endsWithBreak ? lineFeed + 1 : text.size();
    size_t end = line.endsWithBreak ? lineFeed : text.size();
    if (line.endsWithBreak && end > begin && text[end - 1] == '\r') {
        --end;
    }
    trim(text, begin, end);
    if (begin == end || text[begin] == ';' || text[begin] == '#') {
        return line;
    }
    const std::string_view content = text.substr(begin, end - begin);
    if (content.front() == '[') {
        // A header without its ']' is ignored rather than guessed at.
        const size_t close = content.find(']');
        if (close != npos) {
            size_t nameBegin = begin + 1;
            size_t nameEnd = begin + close;
            trim(text, nameBegin, nameEnd);
            line.kind = LineKind::Section;
            line.name = text.substr(nameBegin, nameEnd - nameBegin);
        }
        return line;
    }
    const size_t equals = content.find('=');
    if (equals == npos) {
        return line;
    }
    size_t keyBegin = begin;
    size_t keyEnd = begin + equals;
    trim(text, keyBegin, keyEnd);
    line.kind = LineKind::Key;
    line.name = text.substr(keyBegin, keyEnd - keyBegin);
    line.valueBegin = begin + equals + 1;
    line.valueEnd = end;
    trim(text, line.valueBegin, line.valueEnd);
    return line;
}

struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    size_t valueBegin = 0;
    size_t valueEnd = 0;
    // Where a missing key goes: just past the section's last key line, or past its header.
    size_t insertAt = 0;
    bool insertAfterBreak = false;
};

// Only the first matching section counts, and in it only the first matching key.
Location locate(std::string_view text, std::string_view section, std::string_view key) {
    Location found;
    for (size_t pos = 0; pos < text.size();) {
        const IniLine line = parseLine(text, pos);
        pos = line.next;
        if (line.kind == LineKind::Section) {
            if (found.sectionFound) {
                break;
            }
            if (equalsNoCase(line.name, section)) {
                found.sectionFound = true;
                found.insertAt = line.next;
                found.insertAfterBreak = line.endsWithBreak;
            }
        } else if (line.kind == LineKind::Key && found.sectionFound) {
            if (equalsNoCase(line.name, key)) {
                found.keyFound = true;
                found.valueBegin = line.valueBegin;
                found.valueEnd = line.valueEnd;
                break;
            }
            found.insertAt = line.next;
            found.insertAfterBreak = line.endsWithBreak;
        }
    }
    return found;
}

// Quotes let a hand-written value keep its leading or trailing blanks.
std::string_view unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The file's own style, taken from its first line; LF for a file without one.
std::string_view lineBreakOf(std::string_view text) {
    const size_t lineFeed = text.find('\n');
    return lineFeed != npos && lineFeed > 0 && text[lineFeed - 1] == '\r' ? "\r\n" : "\n";
}

void appendEntry(std::string& out, std::string_view key, std::string_view value,
                 std::string_view lineBreak) {
    out.append(key).append("=").append(value).append(lineBreak);
}

bool hasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != npos;
}

// One line of its own with no blanks at its ends, which the reader would trim.
bool isPlainName(std::string_view name) {
    return !name.empty() && !hasLineBreakOrNul(name) && !isBlank(name.front()) &&
           !isBlank(name.back());
}

}  // namespace

std::optional<std::string> readIniValue(std::string_view text, std::string_view section,
                                        std::string_view key) {
    const Location found = locate(text, section, key);
    if (!found.keyFound) {
        return std::nullopt;
    }
    return std::string(unquoted(text.substr(found.valueBegin, found.valueEnd - found.valueBegin)));
}

std::string writeIniValue(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view valueText) {
    const Location found = locate(text, section, key);
    std::string updated(text);
    if (found.keyFound) {
        updated.replace(found.valueBegin, found.valueEnd - found.valueBegin, valueText);
        return updated;
    }
    const std::string_view lineBreak = lineBreakOf(text);
    if (found.sectionFound) {
        std::string entry;
        if (!found.insertAfterBreak) {
            entry.append(lineBreak);
        }
        appendEntry(entry, key, valueText, lineBreak);
        updated.insert(found.insertAt, entry);
        return updated;
    }
    if (!updated.empty() && updated.back() != '\n') {
        updated.append(lineBreak);
    }
    updated.append("[").append(section).append("]").append(lineBreak);
    appendEntry(updated, key, valueText, lineBreak);
    return updated;
}

std::optional<std::string> iniValueText(std::string_view value) {
    if (hasLineBreakOrNul(value)) {
        return std::nullopt;
    }
    const bool outerBlank = !value.empty() && (isBlank(value.front()) || isBlank(value.back()));
    // One outer pair of the reader's own removes exactly what we add, whatever is inside.
    if (outerBlank || unquoted(value).size() != value.size()) {
        return "\"" + std::string(value) + "\"";
    }
    return std::string(value);
}

bool isIniSectionName(std::string_view name) {
    return isPlainName(name) && name.find(']') == npos;
}

bool isIniKeyName(std::string_view name) {
    return isPlainName(name) && name.find('=') == npos && name.front() != '[' &&
           name.front() != ';' && name.front() != '#';
}

}  // namespace tavrik
