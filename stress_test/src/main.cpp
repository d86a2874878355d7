// The process entry: hands the wide-character command line to the program.
#include <cstdint>

#include "harnvik.h"

#if defined(_WIN32)

int wmain(int argc, wchar_t** argv) {
    return Harnvik::entry(argc, argv);
}

#else

#include <string>
#include <vector>

namespace {

// Linux passes the arguments as bytes: widen them from UTF-8 to UTF-16, with
// U+FFFD for every byte that does not start a valid sequence.
std::u16string widen(const char* text) {
    std::u16string wide;
    const auto* byte = reinterpret_cast<const unsigned char*>(text);
    while (*byte != 0) {
        std::uint32_t code = *byte;
        int follow = code < 0x80                   ? 0
                     : code >= 0xC2 && code < 0xE0 ? 1
                     : code >= 0xE0 && code < 0xF0 ? 2
                     : code >= 0xF0 && code < 0xF5 ? 3
                                                   : -1;
        if (follow > 0) code &= 0x3Fu >> follow;
        int taken = 0;
        while (follow > 0 && taken < follow && (byte[1 + taken] & 0xC0) == 0x80) {
            code = (code << 6) | (byte[1 + taken] & 0x3Fu);
            ++taken;
        }
        const bool bad = follow < 0 || taken < follow ||
                         (follow == 2 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
                         (follow == 3 && (code < 0x10000 || code > 0x10FFFF));
        byte += bad ? 1 : 1 + follow;
        if (bad) {
            wide.push_back(u'\uFFFD');
        } else if (code >= 0x10000) {
            code -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(code));
        }
    }
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::u16string> arguments;
    std::vector<const char16_t*> pointers;
    for (int i = 0; i < argc; ++i) arguments.push_back(widen(argv[i]));
    for (const std::u16string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return Harnvik::entry(argc, pointers.data());
}

#endif
