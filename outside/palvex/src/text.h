// UTF-8 and UTF-16 conversions for file names and error texts.
#pragma once

#include <string>

#include "platform/platform.h"

namespace Selmet::Palvex::detail {

using wchar16 = karvon_platform::wchar16;
using wstring16 = std::basic_string<wchar16>;

// NUL-terminated UTF-16 to UTF-8. False when the text holds an unpaired
// surrogate.
bool to_utf8(const wchar16* text, std::string& out);
// UTF-8 to UTF-16; malformed bytes become U+FFFD.
wstring16 to_utf16(const std::string& text);

}  // namespace Selmet::Palvex::detail
