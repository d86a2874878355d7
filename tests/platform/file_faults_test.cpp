// The file of the platform layer on Linux when its system calls are
// interrupted, do part of their work or fail: the real file's code against
// the real kernel, with the program's own system calls (system_call_faults.c)
// in front. A local disk never interrupts a pwrite or writes part of it;
// network and user-space file systems do.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "system_call_faults.h"

namespace {

using Karvon::Platform::file;
// What pwrite or pread calls asked for, in order, as (offset, count).
using transfer_list = std::vector<std::pair<long long, std::size_t>>;

constexpr fault_step pass = {fault_pass, 0};
fault_step fails(int error) {
    return {fault_fail, error};
}
fault_step at_most(long bytes) {
    return {fault_short, bytes};
}

void script(fault_call call, const std::vector<fault_step>& steps) {
    fault_script(call, steps.data(), int(steps.size()));
}

std::vector<std::uint8_t> bytes(std::size_t count, std::uint8_t first) {
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = std::uint8_t(first + 7 * i);
    return out;
}

std::vector<std::uint8_t> on_disk(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test starts on a new file, with every call going through.
class file_faults : public ::testing::Test {
  protected:
    void SetUp() override {
        fault_clear();
        name = std::string("platform_faults_") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";
        std::filesystem::remove(name);
        ASSERT_TRUE(f.open(path().c_str(), file::e_open_create)) << f.error_text();
    }
    void TearDown() override { fault_clear(); }

    Karvon::Platform::wstring16 path() const {
        return Karvon::Platform::wstring16(name.begin(), name.end());
    }
    // The pwrite or pread calls since their script.
    static transfer_list transfers(fault_call call) {
        transfer_list seen;
        for (int i = 0; i < fault_calls(call); ++i) {
            const fault_transfer t = fault_transfer_at(call, i);
            seen.emplace_back(t.offset, t.count);
        }
        return seen;
    }

    std::string name;
    file f;
};

TEST_F(file_faults, a_write_goes_on_after_interrupted_and_partial_writes) {
    const std::vector<std::uint8_t> head = bytes(300, 1);
    ASSERT_TRUE(f.write_at(0, head.data(), head.size()));
    const std::vector<std::uint8_t> data = bytes(5000, 90);
    script(fault_pwrite, {fails(EINTR), at_most(1000), fails(EINTR), at_most(1), pass});
    ASSERT_TRUE(f.write_at(300, data.data(), data.size())) << f.error_text();
    // Each call asks for what is left, where it is left; an interrupted call
    // is asked again, the same.
    EXPECT_EQ(transfers(fault_pwrite),
              (transfer_list{{300, 5000}, {300, 5000}, {1300, 4000}, {1300, 4000}, {1301, 3999}}));
    std::vector<std::uint8_t> expected = head;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(on_disk(name), expected);
    EXPECT_EQ(f.size(), 5300);
}

TEST_F(file_faults, a_write_that_fails_reports_the_systems_code_and_text) {
    const std::vector<std::uint8_t> data = bytes(4000, 5);
    struct failure {
        std::vector<fault_step> steps;
        int code;
        const char* text;
        std::size_t written;  // what reached the file before the failure
    };
    for (const failure& expected : {
             // A regular file writes nothing only when it has no more room.
             failure{{at_most(250), at_most(0)}, ENOSPC, "No space left on device", 250},
             failure{{at_most(100), fails(EINTR), fails(EIO)}, EIO, "Input/output error", 100},
             failure{{fails(ENOSPC)}, ENOSPC, "No space left on device", 0},
         }) {
        SCOPED_TRACE(expected.text);
        ASSERT_TRUE(f.truncate(0));
        script(fault_pwrite, expected.steps);
        errno = 0;  // the reason is the call's, not one left from before
        EXPECT_FALSE(f.write_at(0, data.data(), data.size()));
        EXPECT_EQ(f.error_code(), std::uint32_t(expected.code));
        EXPECT_EQ(f.error_text(), expected.text);
        // No call after the failure.
        EXPECT_EQ(fault_calls(fault_pwrite), int(expected.steps.size()));
        EXPECT_EQ(on_disk(name),
                  std::vector<std::uint8_t>(data.begin(), data.begin() + expected.written));
    }
}

TEST_F(file_faults, a_read_goes_on_after_interrupted_and_partial_reads_and_reports_failures) {
    const std::vector<std::uint8_t> data = bytes(3000, 11);
    ASSERT_TRUE(f.write_at(0, data.data(), data.size()));
    std::vector<std::uint8_t> got(2500);
    script(fault_pread, {fails(EINTR), at_most(700), fails(EINTR), at_most(1), pass});
    ASSERT_EQ(f.read_at(400, got.data(), got.size()), 2500) << f.error_text();
    EXPECT_EQ(got, std::vector<std::uint8_t>(data.begin() + 400, data.end() - 100));
    EXPECT_EQ(transfers(fault_pread),
              (transfer_list{{400, 2500}, {400, 2500}, {1100, 1800}, {1100, 1800}, {1101, 1799}}));

    // A failure after part of the read: the part is not reported as read.
    script(fault_pread, {at_most(10), fails(EIO)});
    EXPECT_EQ(f.read_at(0, got.data(), got.size()), -1);
    EXPECT_EQ(f.error_code(), std::uint32_t(EIO));
    EXPECT_EQ(f.error_text(), "Input/output error");
    EXPECT_EQ(fault_calls(fault_pread), 2);
}

// The calls that either work or fail: an interrupted one is made again until
// it gives an answer, and a failure keeps the system's code and text.
TEST_F(file_faults, sync_truncate_and_open_retry_interrupted_calls_and_report_failures) {
    const std::vector<std::uint8_t> data = bytes(1000, 3);
    ASSERT_TRUE(f.write_at(0, data.data(), data.size()));

    script(fault_fdatasync, {fails(EINTR), fails(EINTR), pass});
    EXPECT_TRUE(f.sync_data()) << f.error_text();
    EXPECT_EQ(fault_calls(fault_fdatasync), 3);
    script(fault_fdatasync, {fails(EINTR), fails(EIO)});
    EXPECT_FALSE(f.sync_data());
    EXPECT_EQ(f.error_code(), std::uint32_t(EIO));
    EXPECT_EQ(f.error_text(), "Input/output error");
    EXPECT_EQ(fault_calls(fault_fdatasync), 2);

    script(fault_ftruncate, {fails(EINTR), pass});
    EXPECT_TRUE(f.truncate(600)) << f.error_text();
    EXPECT_EQ(fault_calls(fault_ftruncate), 2);
    EXPECT_EQ(std::filesystem::file_size(name), 600u);
    script(fault_ftruncate, {fails(EINTR), fails(EPERM)});
    EXPECT_FALSE(f.truncate(200));
    EXPECT_EQ(f.error_code(), std::uint32_t(EPERM));
    EXPECT_EQ(f.error_text(), "Operation not permitted");
    EXPECT_EQ(std::filesystem::file_size(name), 600u);

    f.close();
    script(fault_open, {fails(EINTR), fails(EINTR), pass});
    ASSERT_TRUE(f.open(path().c_str(), file::e_open_existing)) << f.error_text();
    EXPECT_EQ(fault_calls(fault_open), 3);
    EXPECT_EQ(f.size(), 600);
    script(fault_open, {fails(EINTR), fails(EACCES)});
    EXPECT_FALSE(f.open(path().c_str(), file::e_open_existing));
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(f.error_code(), std::uint32_t(EACCES));
    EXPECT_EQ(f.error_text(), "Permission denied");
}

// Room ahead: an interrupted allocation is made again, and a failure says
// whether the disk is full, the file system cannot allocate ahead, or
// something else went wrong.
TEST_F(file_faults, allocation_retries_interrupted_calls_and_tells_full_from_unsupported) {
    const std::vector<std::uint8_t> data = bytes(1000, 3);
    ASSERT_TRUE(f.write_at(0, data.data(), data.size()));
    struct failure {
        int code;
        file::e_room room;
    };
    for (const failure& expected : {
             failure{ENOSPC, file::e_room_full},
             failure{EDQUOT, file::e_room_full},
             failure{EOPNOTSUPP, file::e_room_unsupported},
             failure{ENOSYS, file::e_room_unsupported},
             failure{EIO, file::e_room_failed},
         }) {
        script(fault_fallocate, {fails(EINTR), fails(expected.code)});
        EXPECT_EQ(f.allocate(2 << 20), expected.room) << expected.code;
        EXPECT_EQ(f.error_code(), std::uint32_t(expected.code));
        EXPECT_EQ(fault_calls(fault_fallocate), 2) << expected.code;
    }

    script(fault_fallocate, {fails(EINTR), fails(EINTR), pass});
    const file::e_room room = f.allocate(1 << 20);
    EXPECT_EQ(fault_calls(fault_fallocate), 3);
    if (room == file::e_room_unsupported) {
        GTEST_SKIP() << "this file system cannot allocate room ahead: " << f.error_text();
    }
    EXPECT_EQ(room, file::e_room_done) << f.error_text();
    EXPECT_EQ(f.size(), 1000);
}

}  // namespace
