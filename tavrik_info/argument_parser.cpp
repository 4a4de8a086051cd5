#include "argument_parser.h"

#include <sstream>

namespace tavrik {

std::optional<int32_t> parseNumberArgument(const std::string& text) {
    std::istringstream stream(text);
    // A cleared base field lets the prefix choose the base.
    stream.unsetf(std::ios::basefield);
    int32_t value = 0;
    // Extraction into a 32-bit int sets failbit for values out of its range.
    if (!(stream >> value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace tavrik
