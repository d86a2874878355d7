// The file of platform/file.h on Linux: one descriptor, positioned reads and
// writes, fdatasync, fallocate that keeps the file's size, and the file
// attribute that stops copy-on-write.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>

#include "platform/file.h"

namespace Karvon::Platform {

namespace {

bool interrupted() {
    return errno == EINTR;
}

// Calls `call` again for as long as a signal interrupts it; its result.
template <typename system_call>
auto again_if_interrupted(system_call&& call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || !interrupted()) return result;
    }
}

}  // namespace

bool file::fail() {
    m_error = std::uint32_t(errno);
    return false;
}

bool file::open(const wchar16* name, e_open how) {
    close();
    bool valid = true;
    const std::string path = utf16_to_utf8(name, &valid);
    if (!valid) {
        errno = EILSEQ;
        return fail();
    }
    const int flags = O_RDWR | O_CLOEXEC | (how == e_open_create ? O_CREAT | O_TRUNC : 0);
    m_fd = again_if_interrupted([&] { return ::open(path.c_str(), flags, 0666); });
    if (m_fd < 0) return fail();
    struct stat facts;
    if (::fstat(m_fd, &facts) != 0) {
        fail();
        close();
        return false;
    }
    // A directory opens for reading only, so O_RDWR has refused it already;
    // anything else that is not a regular file (a pipe, a device) is refused
    // here: it cannot be read back or have room allocated.
    if (!S_ISREG(facts.st_mode)) {
        close();
        errno = EINVAL;
        return fail();
    }
    m_size = facts.st_size;
    return true;
}

bool file::is_open() const {
    return m_fd >= 0;
}

void file::close() {
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried.
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool file::write_at(std::int64_t position, const void* data, std::size_t size) {
    const auto write_some = [this, position](const std::uint8_t* from, std::size_t count,
                                             std::size_t done) -> std::int64_t {
        const ssize_t wrote = ::pwrite(m_fd, from, count, off_t(position + std::int64_t(done)));
        // A regular file writes less only when it is out of room.
        if (wrote == 0) errno = ENOSPC;
        return wrote;
    };
    if (!write_fully(write_some, interrupted, static_cast<const std::uint8_t*>(data), size)) {
        return fail();
    }
    if (position + std::int64_t(size) > m_size) m_size = position + std::int64_t(size);
    return true;
}

std::int64_t file::read_at(std::int64_t position, void* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = again_if_interrupted([&] {
            return ::pread(m_fd, static_cast<std::uint8_t*>(data) + done, size - done,
                           off_t(position + std::int64_t(done)));
        });
        if (got < 0) {
            fail();
            return -1;
        }
        if (got == 0) break;
        done += std::size_t(got);
    }
    return std::int64_t(done);
}

std::int64_t file::size() {
    struct stat facts;
    if (::fstat(m_fd, &facts) != 0) {
        fail();
        return -1;
    }
    m_size = facts.st_size;
    return facts.st_size;
}

bool file::sync_data() {
    return again_if_interrupted([&] { return ::fdatasync(m_fd); }) == 0 || fail();
}

bool file::truncate(std::int64_t size) {
    if (again_if_interrupted([&] { return ::ftruncate(m_fd, off_t(size)); }) != 0) return fail();
    m_size = size;
    return true;
}

file::e_room file::allocate(std::int64_t end) {
    // Only what lies beyond the data needs allocating: the data has its room.
    const std::int64_t from = m_size;
    if (end <= from) return e_room_done;
    const int result = again_if_interrupted(
        [&] { return ::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, off_t(from), off_t(end - from)); });
    if (result == 0) return e_room_done;
    fail();
    switch (m_error) {
        case ENOSPC:
        case EDQUOT:
            return e_room_full;
        case EOPNOTSUPP:
        case ENOSYS:
            return e_room_unsupported;
        default:
            return e_room_failed;
    }
}

file::e_in_place file::write_in_place() {
    int flags = 0;
    if (::ioctl(m_fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_NOCOW_FL;
        if (::ioctl(m_fd, FS_IOC_SETFLAGS, &flags) == 0) return e_in_place_marked;
    }
    fail();
    // The file systems that copy data on write: btrfs, ZFS and bcachefs.
    // Others write in place, and most know no such attribute.
    constexpr long k_copy_on_write[] = {0x9123683E, 0x2FC12FC1, 0xCA451A4E};
    struct statfs facts;
    if (::fstatfs(m_fd, &facts) != 0) return e_in_place_always;
    for (const long type : k_copy_on_write) {
        if (long(facts.f_type) == type) return e_in_place_refused;
    }
    return e_in_place_always;
}

std::string file::error_text() const {
    char buffer[256];
    // The GNU strerror_r gives a pointer to the text, not always into buffer.
    return strerror_r(int(m_error), buffer, sizeof(buffer));
}

std::int64_t file_size_limit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    return std::int64_t(limit.rlim_cur);
}

}  // namespace Karvon::Platform
