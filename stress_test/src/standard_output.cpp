#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "harnvik.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Harnvik {

namespace {

// Longer than any of the program's texts (a rate line with the largest
// float rate is about 70 bytes): formatted on the stack.
constexpr std::size_t k_text_on_stack = 256;

// One write of the system's, or as few as a short write leaves. On Windows
// the runtime's own write turns each line end into CR LF, as its buffered
// output did.
bool write_some(const char* text, std::size_t size, std::size_t& wrote) {
#if defined(_WIN32)
    const int done = _write(1, text, static_cast<unsigned int>(size));
#else
    const ssize_t done = ::write(1, text, size);
#endif
    if (done < 0) return errno == EINTR;
    wrote = static_cast<std::size_t>(done);
    return done > 0;
}

}  // namespace

// Standard output is not the C runtime's buffered stream here: a buffer
// holds a pipe's or a file's lines back for seconds, loses them when the
// process is killed, and a runtime that is stopped while writing it out can
// write it again as the process ends. Each text is formatted whole and goes
// out in one write, so lines of different threads never mix and a log ends
// with a whole line whenever the process ends.
void print_text(const char* format, ...) {
    char on_stack[k_text_on_stack];
    std::string longer;
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(on_stack, sizeof(on_stack), format, arguments);
    va_end(arguments);
    const char* at = on_stack;
    if (length >= static_cast<int>(sizeof(on_stack))) {
        longer.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(longer.data(), longer.size(), format, again);
        at = longer.data();
    }
    va_end(again);
    if (length <= 0) return;
    std::size_t left = static_cast<std::size_t>(length);
    while (left > 0) {
        std::size_t wrote = 0;
        if (!write_some(at, left, wrote)) return;  // nothing else to tell it to
        at += wrote;
        left -= wrote;
    }
}

}  // namespace Harnvik
