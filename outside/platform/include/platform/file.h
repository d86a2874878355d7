// A file read and written through one handle at explicit positions, for
// writers that own their file for its whole life: it is synced on that
// handle, and room can be allocated beyond its end without changing its size.
// Every failure keeps the system's code and its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/wide_text.h"

#if defined(_WIN32)
#define KARVON_PLATFORM_FILE_API
#else
#define KARVON_PLATFORM_FILE_API KARVON_PLATFORM_API
#endif

namespace Karvon::Platform {

// Writes all of `size` bytes through `write_some(data, size, offset)`, which
// writes a part and returns how much (0 or less: a failure; `retry` tells a
// failure to try again, such as an interrupted call, from one to report).
template <typename writer, typename retry_check>
bool write_fully(writer&& write_some, retry_check&& retry, const std::uint8_t* data,
                 std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t wrote = write_some(data + done, size - done, done);
        if (wrote > 0) {
            done += std::size_t(wrote);
        } else if (wrote == 0 || !retry()) {
            return false;
        }
    }
    return true;
}

class KARVON_PLATFORM_FILE_API file {
  public:
    enum e_open {
        e_open_create,    // a new file, or the existing one emptied
        e_open_existing,  // the file as it is
    };
    enum e_room {
        e_room_done,
        e_room_full,         // the disk (or the user's quota) has no more room
        e_room_unsupported,  // the file system cannot allocate ahead
        e_room_failed,
    };
    enum e_in_place {
        e_in_place_marked,   // the file system copies on write, but not this file's data
        e_in_place_always,   // the file system writes data in place anyway
        e_in_place_refused,  // it copies every block written over, this file's too
    };

    file() = default;
    ~file() { close(); }
    file(const file&) = delete;
    file& operator=(const file&) = delete;

    // For reading and writing; the handle is not inherited by child processes.
    bool open(const wchar16* name, e_open how);
    bool is_open() const;
    void close();

    // Writes all the bytes at `position`, going on after partial writes and
    // interrupted calls; false at the first failure.
    bool write_at(std::int64_t position, const void* data, std::size_t size);
    // Reads up to `size` bytes at `position`, fewer only at the end of the
    // file. -1 on a failure.
    std::int64_t read_at(std::int64_t position, void* data, std::size_t size);
    // -1 on a failure.
    std::int64_t size();
    // Waits until the data written so far is on the disk.
    bool sync_data();
    bool truncate(std::int64_t size);
    // Allocates room for the file's first `end` bytes without changing its
    // size: writes below `end` then need no more room on the disk.
    e_room allocate(std::int64_t end);
    // For a file still empty: asks that its data be written over in place
    // where the file system would copy each block written over to new room
    // (Linux: no copy-on-write, as on btrfs), so that room allocated ahead
    // is used, and a write over data needs no free room. On a refusal the
    // system's reason is kept. Windows' file systems write in place.
    e_in_place write_in_place();

    // The system's code and text of the last failure (the text in UTF-8).
    std::uint32_t error_code() const { return m_error; }
    std::string error_text() const;

  private:
    bool fail();  // keeps the system's last error; false

#if defined(_WIN32)
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
    int m_fd = -1;
    std::int64_t m_size = 0;  // of the data written through this handle, at least
#endif
    std::uint32_t m_error = 0;
};

// The largest file this process may write, or -1 when there is no limit.
KARVON_PLATFORM_FILE_API std::int64_t file_size_limit();

#if defined(_WIN32)

// Reads up to `size` bytes at `position` through any handle open for
// reading, in pieces of at most 1 GiB; fewer only at the end of the file.
// -1 on a failure, whose code GetLastError() then tells.
inline std::int64_t read_at(HANDLE handle, std::int64_t position, void* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        const auto offset = std::uint64_t(position) + done;
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD got = 0;
        const std::size_t left = size - done;
        const DWORD chunk = left > (1u << 30) ? DWORD(1u << 30) : DWORD(left);
        if (!ReadFile(handle, static_cast<std::uint8_t*>(data) + done, chunk, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return std::int64_t(done);
}

inline bool file::fail() {
    m_error = GetLastError();
    return false;
}

inline bool file::open(const wchar16* name, e_open how) {
    close();
    // Others may read the file while it is written, and move or delete it.
    m_handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, how == e_open_create ? CREATE_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_handle != INVALID_HANDLE_VALUE || fail();
}

inline bool file::is_open() const {
    return m_handle != INVALID_HANDLE_VALUE;
}

inline void file::close() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

inline bool file::write_at(std::int64_t position, const void* data, std::size_t size) {
    const auto write_some = [this, position](const std::uint8_t* from, std::size_t count,
                                             std::size_t done) -> std::int64_t {
        OVERLAPPED at{};
        const auto offset = std::uint64_t(position) + done;
        at.Offset = DWORD(offset);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD wrote = 0;
        const DWORD chunk = count > (1u << 30) ? DWORD(1u << 30) : DWORD(count);
        if (!WriteFile(m_handle, from, chunk, &wrote, &at)) return -1;
        if (wrote == 0) SetLastError(ERROR_DISK_FULL);
        return wrote;
    };
    return write_fully(
               write_some, [] { return false; }, static_cast<const std::uint8_t*>(data), size) ||
           fail();
}

inline std::int64_t file::read_at(std::int64_t position, void* data, std::size_t size) {
    const std::int64_t got = Platform::read_at(m_handle, position, data, size);
    if (got < 0) fail();
    return got;
}

inline std::int64_t file::size() {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_handle, &size)) {
        fail();
        return -1;
    }
    return size.QuadPart;
}

inline bool file::sync_data() {
    return FlushFileBuffers(m_handle) || fail();
}

inline bool file::truncate(std::int64_t size) {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle(m_handle, FileEndOfFileInfo, &end, sizeof(end)) || fail();
}

inline file::e_room file::allocate(std::int64_t end) {
    FILE_ALLOCATION_INFO room;
    room.AllocationSize.QuadPart = end;
    if (SetFileInformationByHandle(m_handle, FileAllocationInfo, &room, sizeof(room))) {
        return e_room_done;
    }
    fail();
    switch (m_error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return e_room_full;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_PARAMETER:
        case ERROR_CALL_NOT_IMPLEMENTED:
            return e_room_unsupported;
        default:
            return e_room_failed;
    }
}

inline file::e_in_place file::write_in_place() {
    return e_in_place_always;
}

inline std::string file::error_text() const {
    wchar16 buffer[512] = {};
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, m_error,
                       0, buffer, DWORD(sizeof(buffer) / sizeof(buffer[0])), nullptr);
    std::string text = utf16_to_utf8(buffer);
    if (length == 0 || text.empty()) return "system error " + std::to_string(m_error);
    // The system's texts end with a full stop and a line end.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

inline std::int64_t file_size_limit() {
    return -1;
}

#endif

}  // namespace Karvon::Platform
