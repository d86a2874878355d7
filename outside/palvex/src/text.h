// UTF-16 file names to UTF-8 for FFmpeg; the other way is in platform/wide_text.h.
#pragma once

#include <string>

#include "platform/wide_text.h"

namespace Selmet::Palvex::detail {

using wchar16 = Karvon::Platform::wchar16;
using wstring16 = Karvon::Platform::wstring16;

// NUL-terminated UTF-16 to UTF-8. False when the text holds an unpaired
// surrogate.
bool to_utf8(const wchar16* text, std::string& out);

}  // namespace Selmet::Palvex::detail
