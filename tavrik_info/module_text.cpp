#include "module_text.h"

namespace tavrik {

namespace {

bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F);
}

}  // namespace

std::string terminalText(const std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isControl(byte)) {
            shown += "\\x";
            shown += kDigits[byte >> 4];
            shown += kDigits[byte & 0x0F];
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace tavrik
