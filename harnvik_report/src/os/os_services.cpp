#include "os/os_services.h"

#include <csignal>
#include <cstdint>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/statvfs.h>
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

std::int64_t free_bytes_for(const std::string& file) {
    std::filesystem::path folder = file_path(file).parent_path();
    if (folder.empty()) folder = ".";
#if defined(_WIN32)
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return -1;
    return static_cast<std::int64_t>(available.QuadPart);
#else
    struct statvfs disk {};
    if (statvfs(folder.c_str(), &disk) != 0) return -1;
    return static_cast<std::int64_t>(disk.f_bavail) * static_cast<std::int64_t>(disk.f_frsize);
#endif
}

std::int64_t file_size_limit() {
#if defined(_WIN32)
    return -1;
#else
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    return static_cast<std::int64_t>(limit.rlim_cur);
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

}  // namespace Harnvik::Report::os
