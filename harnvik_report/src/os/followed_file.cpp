#include "os/followed_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "os/os_services.h"

#if defined(_WIN32)
#include "platform/file.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Harnvik::Report::os {

namespace {

#if defined(_WIN32)

constexpr DWORD k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool identity_of(HANDLE handle, std::uint64_t (&identity)[2]) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) return false;
    identity[0] = information.dwVolumeSerialNumber;
    identity[1] = (std::uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

// The identity of the file the name stands for now; false when there is none.
bool identity_of_name(const std::string& name, std::uint64_t (&identity)[2]) {
    const HANDLE handle = CreateFileW(file_path(name).c_str(), FILE_READ_ATTRIBUTES, k_share_all,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = identity_of(handle, identity);
    CloseHandle(handle);
    return known;
}

#else

bool identity_of_name(const std::string& name, std::uint64_t (&identity)[2]) {
    struct stat named {};
    if (stat(name.c_str(), &named) != 0) return false;
    identity[0] = static_cast<std::uint64_t>(named.st_dev);
    identity[1] = static_cast<std::uint64_t>(named.st_ino);
    return true;
}

#endif

}  // namespace

followed_file::followed_file(std::string name) : m_name(std::move(name)) {}

followed_file::~followed_file() {
    close();
}

followed_file::e_look followed_file::look() {
    std::uint64_t named[2] = {};
    const bool has_name = identity_of_name(m_name, named);
    const bool is_open = m_handle != -1;
    if (!is_open) {
        if (!has_name) return e_look_missing;
        return open_named() ? e_look_opened : e_look_failed;
    }
    if (has_name && (named[0] != m_identity[0] || named[1] != m_identity[1])) {
        close();
        return open_named() ? e_look_replaced : e_look_failed;
    }
    const std::int64_t now = size_now();
    if (now < 0) return e_look_failed;
    const std::int64_t before = std::exchange(m_size, now);
    if (now < before) return e_look_cut;
    if (!has_name && !m_unnamed) {
        m_unnamed = true;
        return e_look_unnamed;
    }
    if (has_name) m_unnamed = false;
    return e_look_same;
}

#if defined(_WIN32)

bool followed_file::open_named() {
    const HANDLE handle = CreateFileW(file_path(m_name).c_str(), GENERIC_READ, k_share_all, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        m_error = "cannot open " + m_name + ": " + system_text(GetLastError());
        return false;
    }
    m_handle = reinterpret_cast<std::intptr_t>(handle);
    if (!identity_of(handle, m_identity) || (m_size = size_now()) < 0) {
        m_error = "cannot read " + m_name + ": " + system_text(GetLastError());
        close();
        return false;
    }
    m_unnamed = false;
    return true;
}

void followed_file::close() {
    if (m_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = -1;
}

std::int64_t followed_file::size_now() {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(m_handle), &size)) {
        m_error = "cannot read the size of " + m_name + ": " + system_text(GetLastError());
        return -1;
    }
    return size.QuadPart;
}

std::int64_t followed_file::read_at(std::int64_t offset, void* out, std::size_t count) {
    const std::int64_t got =
        Karvon::Platform::read_at(reinterpret_cast<HANDLE>(m_handle), offset, out, count);
    if (got < 0) m_error = "cannot read " + m_name + ": " + system_text(GetLastError());
    return got;
}

#else

bool followed_file::open_named() {
    const int descriptor = ::open(m_name.c_str(), O_RDONLY | O_CLOEXEC);
    m_handle = descriptor;
    struct stat opened {};
    if (descriptor < 0 || fstat(descriptor, &opened) != 0) {
        m_error = "cannot open " + m_name + ": " + system_text(errno);
        close();
        return false;
    }
    if (S_ISDIR(opened.st_mode)) {
        m_error = "cannot read " + m_name + ": it is a directory";
        close();
        return false;
    }
    m_identity[0] = static_cast<std::uint64_t>(opened.st_dev);
    m_identity[1] = static_cast<std::uint64_t>(opened.st_ino);
    m_size = static_cast<std::int64_t>(opened.st_size);
    m_unnamed = false;
    return true;
}

void followed_file::close() {
    if (m_handle != -1) ::close(static_cast<int>(m_handle));
    m_handle = -1;
}

std::int64_t followed_file::size_now() {
    struct stat opened {};
    if (fstat(static_cast<int>(m_handle), &opened) != 0) {
        m_error = "cannot read the size of " + m_name + ": " + system_text(errno);
        return -1;
    }
    return static_cast<std::int64_t>(opened.st_size);
}

std::int64_t followed_file::read_at(std::int64_t offset, void* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got =
            pread(static_cast<int>(m_handle), static_cast<char*>(out) + done, count - done,
                  static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            m_error = "cannot read " + m_name + ": " + system_text(errno);
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

#endif

}  // namespace Harnvik::Report::os
