// The 16-bit wide character of every platform (UTF-16 code units) and its
// literal macro, without the rest of the platform layer: headers that only
// pass wide texts around include this one and stay free of <windows.h>.
#pragma once

namespace Karvon::Platform {

#if defined(_WIN32)
using wchar16 = wchar_t;
#define KARVON_WIDE(text) L##text
#else
using wchar16 = char16_t;
#define KARVON_WIDE(text) u##text
#endif

static_assert(sizeof(wchar16) == 2);

}  // namespace Karvon::Platform
