#include "os/os_services.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "platform/file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
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

namespace {

// A file is searched for among every process at most this often while no
// writer of it is known: a search reads the descriptors of them all.
constexpr std::chrono::seconds k_search_every{10};

// The file beside `name` that is written first: not a *.prom file, which
// the exporters would read half written.
std::string temporary_beside(const std::string& name) {
#if defined(_WIN32)
    return name + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
#else
    return name + "." + std::to_string(getpid()) + ".tmp";
#endif
}

#if !defined(_WIN32)

bool is_process_id(const char* name) {
    if (*name == '\0') return false;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

// Whether the process holds the file (device, inode) open for writing.
bool writes(const std::string& process, const struct stat& file) {
    const std::string folder = "/proc/" + process + "/fd";
    DIR* descriptors = opendir(folder.c_str());
    if (descriptors == nullptr) return false;  // gone, or another user's
    bool found = false;
    while (!found) {
        const dirent* entry = readdir(descriptors);
        if (entry == nullptr) break;
        if (!is_process_id(entry->d_name)) continue;
        struct stat open {};
        if (stat((folder + "/" + entry->d_name).c_str(), &open) != 0 ||
            open.st_dev != file.st_dev || open.st_ino != file.st_ino) {
            continue;
        }
        std::ifstream information("/proc/" + process + "/fdinfo/" + entry->d_name);
        std::string key;
        while (information >> key) {
            if (key != "flags:") continue;
            unsigned long flags = 0;
            information >> std::oct >> flags;
            found = (flags & O_ACCMODE) != O_RDONLY;
            break;
        }
    }
    closedir(descriptors);
    return found;
}

// The process's soft file-size limit from /proc/PID/limits; false when it
// cannot be read.
bool limit_of(std::int64_t process, std::int64_t& bytes) {
    std::ifstream limits("/proc/" + std::to_string(process) + "/limits");
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind("Max file size", 0) != 0) continue;
        std::istringstream fields(line.substr(std::strlen("Max file size")));
        std::string soft;
        fields >> soft;
        if (soft == "unlimited") {
            bytes = -1;
            return true;
        }
        char* end = nullptr;
        const long long value = std::strtoll(soft.c_str(), &end, 10);
        if (end == soft.c_str() || *end != '\0' || value < 0) return false;
        bytes = value;
        return true;
    }
    return false;
}

#endif

}  // namespace

size_limit writer_limit::look(const std::string& file) {
    size_limit limit;
#if defined(_WIN32)
    (void)file;
    return limit;
#else
    limit.bytes = Karvon::Platform::file_size_limit();
    struct stat named {};
    if (stat(file.c_str(), &named) != 0) return limit;
    if (m_writer != 0 && !writes(std::to_string(m_writer), named)) {
        m_writer = 0;
        m_searched = {};
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_writer == 0 && (m_searched == std::chrono::steady_clock::time_point{} ||
                          now - m_searched >= k_search_every)) {
        m_searched = now;
        const std::string self = std::to_string(getpid());
        if (DIR* processes = opendir("/proc")) {
            while (const dirent* entry = readdir(processes)) {
                if (!is_process_id(entry->d_name) || self == entry->d_name) continue;
                if (writes(entry->d_name, named)) {
                    m_writer = std::strtoll(entry->d_name, nullptr, 10);
                    break;
                }
            }
            closedir(processes);
        }
    }
    std::int64_t bytes = -1;
    if (m_writer != 0 && limit_of(m_writer, bytes)) {
        limit.bytes = bytes;
        limit.of_writer = true;
        limit.writer = m_writer;
    }
    return limit;
#endif
}

double unix_time_s() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string system_text(std::uint32_t code) {
#if defined(_WIN32)
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof(text), nullptr);
    std::string out(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
        out.pop_back();
    }
    return out.empty() ? "system error " + std::to_string(code) : out;
#else
    return std::strerror(static_cast<int>(code));
#endif
}

bool replace_file(const std::string& name, const std::string& text, std::string& error) {
    const std::string temporary = temporary_beside(name);
#if defined(_WIN32)
    const std::wstring wide = file_path(temporary).wstring();
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot write " + temporary + ": " + system_text(GetLastError());
        return false;
    }
    DWORD wrote = 0;
    const bool written =
        WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) &&
        wrote == text.size();
    const DWORD code = GetLastError();
    CloseHandle(handle);
    if (!written) {
        error = "cannot write " + temporary + ": " + system_text(code);
    } else if (!MoveFileExW(wide.c_str(), file_path(name).wstring().c_str(),
                            MOVEFILE_REPLACE_EXISTING)) {
        error = "cannot replace " + name + ": " + system_text(GetLastError());
    } else {
        return true;
    }
    DeleteFileW(wide.c_str());
    return false;
#else
    const int descriptor =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        error = "cannot write " + temporary + ": " + system_text(errno);
        return false;
    }
    int code = 0;
    for (std::size_t done = 0; done < text.size() && code == 0;) {
        const ssize_t wrote = ::write(descriptor, text.data() + done, text.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote == 0 || errno != EINTR) {
            code = wrote == 0 ? ENOSPC : errno;
        }
    }
    if (::close(descriptor) != 0 && code == 0) code = errno;
    if (code != 0) {
        error = "cannot write " + temporary + ": " + system_text(code);
    } else if (std::rename(temporary.c_str(), name.c_str()) != 0) {
        error = "cannot replace " + name + ": " + system_text(errno);
    } else {
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
#endif
}

bool can_replace(const std::string& name, std::string& error) {
    const std::string temporary = temporary_beside(name);
#if defined(_WIN32)
    const std::wstring wide = file_path(temporary).wstring();
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot write a file beside " + name + ": " + system_text(GetLastError());
        return false;
    }
    CloseHandle(handle);
#else
    const int descriptor =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        error = "cannot write a file beside " + name + ": " + system_text(errno);
        return false;
    }
    ::close(descriptor);
    ::unlink(temporary.c_str());
#endif
    return true;
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
