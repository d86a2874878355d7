// The file of the platform layer, on the system's own files: positioned
// writes and reads through one handle, room allocated without changing the
// size, a new file written in place, and failures that keep the system's
// reason.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Karvon::Platform::file;
using Karvon::Platform::wstring16;

wstring16 wide(const std::string& text) {
    return wstring16(text.begin(), text.end());
}

std::vector<std::uint8_t> bytes(std::size_t count, std::uint8_t first) {
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = std::uint8_t(first + i);
    return out;
}

// The write loop: parts written are not written again, an interrupted call
// is tried again, and a failure or a write of nothing ends it.
TEST(file_write, goes_on_after_partial_writes_and_retries_only_what_may_be_retried) {
    const std::vector<std::uint8_t> data = bytes(1000, 7);
    std::vector<std::uint8_t> written;
    std::vector<std::size_t> asked_at;
    int calls = 0;
    int interrupted_left = 2;
    const auto some = [&](const std::uint8_t* from, std::size_t count,
                          std::size_t done) -> std::int64_t {
        ++calls;
        asked_at.push_back(done);
        EXPECT_EQ(from, data.data() + done);
        EXPECT_EQ(count, data.size() - done);
        if (calls % 3 == 2 && interrupted_left > 0) {
            --interrupted_left;
            return -1;  // interrupted
        }
        const std::size_t part = std::min<std::size_t>(count, 300);
        written.insert(written.end(), from, from + part);
        return std::int64_t(part);
    };
    int retries = 0;
    const auto retry = [&] {
        ++retries;
        return true;
    };
    ASSERT_TRUE(Karvon::Platform::write_fully(some, retry, data.data(), data.size()));
    EXPECT_EQ(written, data);
    EXPECT_EQ(retries, 2);
    EXPECT_EQ(asked_at, (std::vector<std::size_t>{0, 300, 300, 600, 900, 900}));

    // A failure that is not to be retried ends the loop at once; so does a
    // write of nothing, which would otherwise never end.
    int failing_calls = 0;
    const auto fails = [&](const std::uint8_t*, std::size_t, std::size_t) -> std::int64_t {
        ++failing_calls;
        return failing_calls == 1 ? 10 : -1;
    };
    EXPECT_FALSE(Karvon::Platform::write_fully(
        fails, [] { return false; }, data.data(), 100));
    EXPECT_EQ(failing_calls, 2);
    int empty_calls = 0;
    const auto nothing = [&](const std::uint8_t*, std::size_t, std::size_t) -> std::int64_t {
        ++empty_calls;
        return 0;
    };
    EXPECT_FALSE(Karvon::Platform::write_fully(
        nothing, [] { return true; }, data.data(), 100));
    EXPECT_EQ(empty_calls, 1);
    EXPECT_TRUE(Karvon::Platform::write_fully(
        nothing, [] { return true; }, data.data(), 0));
}

TEST(file, writes_and_reads_at_positions_through_one_handle) {
    const std::string name = "platform_file.bin";
    std::remove(name.c_str());
    file f;
    ASSERT_TRUE(f.open(wide(name).c_str(), file::e_open_create)) << f.error_text();
    EXPECT_EQ(f.size(), 0);
    const std::vector<std::uint8_t> first = bytes(5000, 1);
    const std::vector<std::uint8_t> second = bytes(100, 200);
    ASSERT_TRUE(f.write_at(0, first.data(), first.size()));
    // Over what is there, and past the end: the gap reads as zeros.
    ASSERT_TRUE(f.write_at(4950, second.data(), second.size()));
    ASSERT_TRUE(f.write_at(6000, second.data(), second.size()));
    EXPECT_EQ(f.size(), 6100);
    ASSERT_TRUE(f.sync_data()) << f.error_text();

    std::vector<std::uint8_t> got(200);
    ASSERT_EQ(f.read_at(4900, got.data(), got.size()), 200);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 50, first.begin() + 4900));
    EXPECT_TRUE(std::equal(got.begin() + 50, got.begin() + 150, second.begin()));
    EXPECT_EQ(got[150], 0);
    // Fewer at the end of the file, none past it.
    EXPECT_EQ(f.read_at(6050, got.data(), got.size()), 50);
    EXPECT_EQ(f.read_at(7000, got.data(), got.size()), 0);

    ASSERT_TRUE(f.truncate(4000));
    EXPECT_EQ(f.size(), 4000);
    // The file as it is, opened anew: nothing emptied.
    f.close();
    EXPECT_FALSE(f.is_open());
    ASSERT_TRUE(f.open(wide(name).c_str(), file::e_open_existing)) << f.error_text();
    EXPECT_EQ(f.size(), 4000);
    ASSERT_EQ(f.read_at(0, got.data(), 10), 10);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 10, first.begin()));
    // Created again, it is empty.
    ASSERT_TRUE(f.open(wide(name).c_str(), file::e_open_create));
    EXPECT_EQ(f.size(), 0);
}

TEST(file, room_is_allocated_without_changing_the_size) {
    const std::string name = "platform_room.bin";
    file f;
    ASSERT_TRUE(f.open(wide(name).c_str(), file::e_open_create));
    const std::vector<std::uint8_t> data = bytes(1000, 3);
    ASSERT_TRUE(f.write_at(0, data.data(), data.size()));
    const file::e_room room = f.allocate(8 << 20);
    // Wine, for one, cannot allocate ahead on any file system.
    if (room == file::e_room_unsupported) {
        EXPECT_FALSE(f.error_text().empty());
        GTEST_SKIP() << "this system cannot allocate room ahead: " << f.error_text();
    }
    ASSERT_EQ(room, file::e_room_done) << f.error_text();
    EXPECT_EQ(f.size(), 1000);
    EXPECT_EQ(std::filesystem::file_size(name), 1000u);
#if !defined(_WIN32)
    // The blocks are the file's, beyond its end.
    struct stat facts;
    ASSERT_EQ(::stat(name.c_str(), &facts), 0);
    EXPECT_GE(std::int64_t(facts.st_blocks) * 512, std::int64_t(8 << 20));
#endif
    // Writes into the room keep their data and make the file longer.
    ASSERT_TRUE(f.write_at(4000, data.data(), data.size()));
    EXPECT_EQ(f.size(), 5000);
}

// Where the test runs: on a file system that copies on write the new file
// is marked, and the mark is there to be read; elsewhere there is nothing
// to mark (the end to end test sees the mark on btrfs).
TEST(file, a_new_file_is_written_in_place) {
    const std::string name = "platform_in_place.bin";
    file f;
    ASSERT_TRUE(f.open(wide(name).c_str(), file::e_open_create));
    const file::e_in_place result = f.write_in_place();
    ASSERT_NE(result, file::e_in_place_refused) << f.error_text();
#if !defined(_WIN32)
    const int fd = ::open(name.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    const bool has_flags = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    EXPECT_EQ(has_flags && (flags & FS_NOCOW_FL) != 0, result == file::e_in_place_marked);
#endif
}

TEST(file, failures_keep_the_reason_the_system_gives) {
    const std::string folder = "platform_folder.bin";
    std::filesystem::create_directories(folder);
    file f;
    EXPECT_FALSE(f.open(wide(folder).c_str(), file::e_open_create));
    EXPECT_FALSE(f.is_open());
    EXPECT_NE(f.error_code(), 0u);
    const std::string missing = "platform_missing.bin";
    std::remove(missing.c_str());
    EXPECT_FALSE(f.open(wide(missing).c_str(), file::e_open_existing));
    EXPECT_FALSE(std::filesystem::exists(missing));
#if defined(_WIN32)
    EXPECT_EQ(f.error_code(), std::uint32_t(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(f.error_text().empty());
#else
    EXPECT_EQ(f.error_text(), "No such file or directory");
    EXPECT_FALSE(f.open(wide(folder).c_str(), file::e_open_existing));
    EXPECT_EQ(f.error_text(), "Is a directory");
    // A name that is not UTF-16 cannot be a file name here.
    const wstring16 broken{u'a', char16_t(0xD800), u'b'};
    EXPECT_FALSE(f.open(broken.c_str(), file::e_open_create));
    EXPECT_EQ(f.error_text(), "Invalid or incomplete multibyte or wide character");
    // Not a regular file: nothing to allocate or read back.
    EXPECT_FALSE(f.open(u"/dev/null", file::e_open_existing));
    EXPECT_EQ(f.error_text(), "Invalid argument");
#endif
}

#if !defined(_WIN32)
// The limit is read when asked, and a write past it fails with its reason
// once the signal is ignored; the room beyond it is still allocated.
TEST(file, a_size_limit_is_seen_and_writes_past_it_fail_with_its_reason) {
    rlimit before;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = before;
    lower.rlim_cur = 64 << 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lower), 0);
    EXPECT_EQ(Karvon::Platform::file_size_limit(), 64 << 10);

    file f;
    const bool opened = f.open(u"platform_limit.bin", file::e_open_create);
    const std::vector<std::uint8_t> data = bytes(100 << 10, 0);
    const bool wrote = opened && f.write_at(0, data.data(), data.size());
    const std::string reason = f.error_text();
    const std::int64_t size = opened ? f.size() : -1;
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, old_handler);

    ASSERT_TRUE(opened);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(reason, "File too large");
    // What fitted is in the file.
    EXPECT_EQ(size, 64 << 10);
    EXPECT_EQ(Karvon::Platform::file_size_limit(),
              before.rlim_cur == RLIM_INFINITY ? -1 : std::int64_t(before.rlim_cur));
}
#endif

}  // namespace
