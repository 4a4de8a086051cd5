// tavrik.ini text: the input split at its first three NUL bytes into file text, section, key
// and value, read and written; a plain name and value written must read back unchanged.
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "ini_text.h"

using namespace tavrik;
using tavrik::fuzz::require;

namespace {

std::string_view takePart(std::string_view& rest) {
    const size_t end = rest.find('\0');
    const std::string_view part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return part;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool hasAny(std::string_view text, std::string_view characters) {
    return text.find_first_of(characters) != std::string_view::npos;
}

bool hasOuterBlank(std::string_view text) {
    return !text.empty() && (isBlank(text.front()) || isBlank(text.back()));
}

// Names and values the device list writes: one line, no outer blanks, nothing that would
// read as a header, a comment, a separator or quotes.
bool isPlainName(std::string_view name, std::string_view forbidden) {
    return !name.empty() && !hasOuterBlank(name) && !hasAny(name, forbidden) &&
           name.front() != ';' && name.front() != '#' && name.front() != '[';
}

bool isPlainValue(std::string_view value) {
    const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                        value.back() == value.front();
    return !hasOuterBlank(value) && !hasAny(value, std::string_view("\r\n", 2)) && !quoted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view text = takePart(rest);
    const std::string_view section = takePart(rest);
    const std::string_view key = takePart(rest);
    const std::string_view value = rest;

    readIniValue(text, section, key);
    const std::string written = writeIniValue(text, section, key, value);
    if (isPlainName(section, "]\r\n") && isPlainName(key, "=\r\n") && isPlainValue(value)) {
        const auto readBack = readIniValue(written, section, key);
        require(readBack.has_value() && *readBack == value, "a written value reads back");
    }
    return 0;
}
