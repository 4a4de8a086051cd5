// UTF-8 for module texts. HID strings that only describe a module (its product string) become
// UTF-8 for names shown to people and exported as labels; serial numbers keep their
// byte-by-byte narrowing, since they must widen back to the same string to open the module.
// Texts from the module itself are any bytes, so whoever shows them reads them with
// utf8Sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrik {

// The length (2 to 4) of the valid multi-byte UTF-8 sequence at text[at], or 0 when the bytes
// there are none: then *broken is how many bytes the broken sequence spans (at least 1; the
// byte that broke it starts what follows). Overlong forms, surrogates and values past
// U+10FFFF are not valid. The byte at text[at] is 0x80 or above.
inline size_t utf8Sequence(const std::string& text, size_t at, size_t* broken) {
    const auto lead = static_cast<unsigned char>(text[at]);
    // The lead byte gives the length and the range of the second byte; the narrower ranges
    // leave out overlong forms, surrogates and values past U+10FFFF.
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    }
    size_t n = 1;
    while (length != 0 && n < length && at + n < text.size()) {
        const auto next = static_cast<unsigned char>(text[at + n]);
        if (next < low || next > high)
            break;
        low = 0x80;
        high = 0xBF;
        ++n;
    }
    if (length != 0 && n == length)
        return length;
    *broken = n;
    return 0;
}

// The bytes as valid UTF-8: each broken sequence becomes one U+FFFD, up to the byte that broke
// it, which is read again as the start of what follows.
inline std::string validUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            out += bytes[i++];
            continue;
        }
        size_t broken = 0;
        if (const size_t length = utf8Sequence(bytes, i, &broken)) {
            out.append(bytes, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            i += broken;
        }
    }
    return out;
}

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
