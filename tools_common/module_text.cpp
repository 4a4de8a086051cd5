#include "module_text.h"

#include "utf8_text.h"

namespace tavrik {

namespace {

void appendEscaped(std::string& shown, unsigned char byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    shown += "\\x";
    shown += kDigits[byte >> 4];
    shown += kDigits[byte & 0x0F];
}

}  // namespace

std::string terminalText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) {
                appendEscaped(shown, byte);
            } else {
                shown += text[i];
            }
            ++i;
            continue;
        }
        size_t broken = 0;
        const size_t length = utf8Sequence(text, i, &broken);
        // U+0080 to U+009F are C2 80 to C2 9F.
        const bool c1 =
            length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (length != 0 && !c1) {
            shown.append(text, i, length);
        } else if (c1) {
            appendEscaped(shown, byte);
            appendEscaped(shown, static_cast<unsigned char>(text[i + 1]));
        } else if (byte <= 0x9F) {
            appendEscaped(shown, byte);
        } else {
            shown += text[i];
        }
        i += length != 0 ? length : 1;
    }
    return shown;
}

}  // namespace tavrik
