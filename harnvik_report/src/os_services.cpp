#include "os_services.h"

#include <csignal>
#include <cstdint>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace Harnvik::Report::os {

bool stderr_is_terminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::filesystem::path file_path(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

void read_stdin_as_bytes() {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
#endif
}

char path_separator() {
#if defined(_WIN32)
    return ';';
#else
    return ':';
#endif
}

const char* executable_suffix() {
#if defined(_WIN32)
    return ".exe";
#else
    return "";
#endif
}

bool is_executable(const std::string& file) {
    std::error_code failure;
    const std::filesystem::path path = file_path(file);
    const std::filesystem::file_status status = std::filesystem::status(path, failure);
    if (failure || !std::filesystem::is_regular_file(status)) return false;
#if defined(_WIN32)
    return true;
#else
    return access(file.c_str(), X_OK) == 0;
#endif
}

std::FILE* open_pipe_to(const std::string& program) {
#if defined(_WIN32)
    return _popen(("\"" + program + "\"").c_str(), "wb");
#else
    std::signal(SIGPIPE, SIG_IGN);
    std::string command = "'";
    for (const char c : program) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
    return popen(command.c_str(), "w");
#endif
}

int close_pipe(std::FILE* pipe) {
#if defined(_WIN32)
    return _pclose(pipe);
#else
    const int status = pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

std::string utf16_to_utf8(const Karvon::Platform::wchar16* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        std::uint32_t code = static_cast<std::uint16_t>(*text);
        if (code >= 0xD800 && code <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            code =
                0x10000 + ((code - 0xD800) << 10) + (static_cast<std::uint16_t>(text[1]) - 0xDC00u);
            ++text;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
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

}  // namespace Harnvik::Report::os
