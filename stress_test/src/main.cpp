// The process entry: hands the wide-character command line to the program.
#include "harnvik.h"

#if defined(_WIN32)

int wmain(int argc, wchar_t** argv) {
    return Harnvik::entry(argc, argv);
}

#else

#include <string>
#include <vector>

#include "platform/wide_text.h"

// Linux passes the arguments as bytes: they reach the entry as UTF-16, with
// U+FFFD for bytes that are not UTF-8.
int main(int argc, char** argv) {
    std::vector<std::u16string> arguments;
    std::vector<const char16_t*> pointers;
    for (int i = 0; i < argc; ++i) arguments.push_back(Karvon::Platform::utf8_to_utf16(argv[i]));
    for (const std::u16string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return Harnvik::entry(argc, pointers.data());
}

#endif
