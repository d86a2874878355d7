// Putting a file's data on the disk, for writers that must not lose what they
// have already written to a crash or a power loss.
#pragma once

#include "platform/platform.h"

#if defined(_WIN32)
#include "platform/wide_text.h"
#endif

namespace Karvon::Platform {

// Waits until the data written so far to the file at a UTF-8 path, through
// any handle, is on the disk. False when the file cannot be opened or the
// system reports a failure.
#if defined(_WIN32)
inline bool sync_file_data(const char* utf8_path) {
    const wstring16 path = utf8_to_utf16(utf8_path);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed != FALSE;
}
#else
KARVON_PLATFORM_API bool sync_file_data(const char* utf8_path);
#endif

}  // namespace Karvon::Platform
