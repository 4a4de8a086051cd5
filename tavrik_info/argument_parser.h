// Numbers on the tavrik_info command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrik {

// Reads a signed 32-bit number from the start of text with the base taken from its prefix
// (0x hexadecimal, leading 0 octal, else decimal), as C's strtol with base 0 does; the rest of
// the text is ignored. Empty when no digit can be read or the value does not fit.
std::optional<int32_t> parseNumberArgument(const std::string& text);

}  // namespace tavrik
