// Between UTF-8 and the platform's 16-bit wide text (UTF-16): command lines
// and messages that arrive as bytes, file names that leave as bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/wide_char.h"

namespace Karvon::Platform {

using wstring16 = std::basic_string<wchar16>;

// Decodes UTF-8; every byte that does not start a valid, shortest-form
// sequence of a scalar value becomes U+FFFD.
inline wstring16 utf8_to_utf16(std::string_view text) {
    wstring16 out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const unsigned char* const start = p;
        std::uint32_t code = *p++;
        int extra = 0;
        if (code >= 0xF5) {
            extra = -1;
        } else if (code >= 0xF0) {
            code &= 0x07;
            extra = 3;
        } else if (code >= 0xE0) {
            code &= 0x0F;
            extra = 2;
        } else if (code >= 0xC2) {
            code &= 0x1F;
            extra = 1;
        } else if (code >= 0x80) {
            extra = -1;
        }
        bool bad = extra < 0 || end - p < extra;
        for (int i = 0; !bad && i < extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                bad = true;
            } else {
                code = (code << 6) | (p[i] & 0x3Fu);
            }
        }
        const std::uint32_t smallest = extra == 3 ? 0x10000 : extra == 2 ? 0x800 : 0;
        if (bad || code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out += static_cast<wchar16>(0xFFFD);
            p = start + 1;  // resynchronise on the next byte
        } else {
            p += extra;
            if (code >= 0x10000) {
                code -= 0x10000;
                out += static_cast<wchar16>(0xD800 + (code >> 10));
                out += static_cast<wchar16>(0xDC00 + (code & 0x3FF));
            } else {
                out += static_cast<wchar16>(code);
            }
        }
    }
    return out;
}

// Encodes NUL-terminated UTF-16 (null reads as empty). Each unpaired
// surrogate becomes U+FFFD and, when `valid` is given, sets it false.
inline std::string utf16_to_utf8(const wchar16* text, bool* valid = nullptr) {
    std::string out;
    if (valid != nullptr) *valid = true;
    for (; text != nullptr && *text != 0; ++text) {
        std::uint32_t code = static_cast<std::uint16_t>(*text);
        const std::uint32_t next = static_cast<std::uint16_t>(text[1]);
        if (code >= 0xD800 && code <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
            ++text;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
            if (valid != nullptr) *valid = false;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

}  // namespace Karvon::Platform
