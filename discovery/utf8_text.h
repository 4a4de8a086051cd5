// HID strings that only describe a module (its product string) as UTF-8 text, for names shown
// to people and exported as labels. Serial numbers keep their byte-by-byte narrowing: they
// must widen back to the same string to open the module.
#pragma once

#include <cstdint>
#include <string>

namespace tavrik {

// wchar_t holds UTF-16 where it is 16 bits wide (Windows) and UTF-32 elsewhere. A lone
// surrogate or a value past U+10FFFF becomes U+FFFD.
inline std::string utf8Text(const wchar_t* wide) {
    std::string text;
    for (const wchar_t* p = wide; *p != L'\0'; ++p) {
        uint32_t c = static_cast<uint32_t>(*p);
        if (sizeof(wchar_t) == 2) {
            c &= 0xFFFF;
            const uint32_t next = static_cast<uint32_t>(p[1]) & 0xFFFF;
            if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++p;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            text.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | (c >> 12)));
            text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | (c >> 18)));
            text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return text;
}

}  // namespace tavrik
