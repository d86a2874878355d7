#include "text.h"

#include <cstdint>

namespace Selmet::Palvex::detail {

bool to_utf8(const wchar16* text, std::string& out) {
    out.clear();
    for (const wchar16* p = text; *p != 0; ++p) {
        std::uint32_t code = std::uint16_t(*p);
        if (code >= 0xD800 && code <= 0xDBFF) {
            const std::uint32_t low = std::uint16_t(p[1]);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++p;
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        }
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }
    return true;
}

wstring16 to_utf16(const std::string& text) {
    wstring16 out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        std::uint32_t code = *p;
        int extra = 0;
        if (code >= 0xF8) {
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
        ++p;
        bool bad = extra < 0 || end - p < extra;
        for (int i = 0; !bad && i < extra; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) {
                bad = true;
                break;
            }
            code = (code << 6) | (*p & 0x3F);
        }
        const std::uint32_t smallest = extra == 3 ? 0x10000 : extra == 2 ? 0x800 : 0;
        if (bad || code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out += wchar16(0xFFFD);
        } else if (code >= 0x10000) {
            code -= 0x10000;
            out += wchar16(0xD800 + (code >> 10));
            out += wchar16(0xDC00 + (code & 0x3FF));
        } else {
            out += wchar16(code);
        }
    }
    return out;
}

}  // namespace Selmet::Palvex::detail
