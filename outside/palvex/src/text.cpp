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

}  // namespace Selmet::Palvex::detail
