// The length a fragmented file's header tells, as the muxer keeps it: a
// fragment counts once it is on the disk, and then exactly what the
// fragments hold.
#include <gtest/gtest.h>

#include <memory>

#include "index.h"
#include "memory_file.h"
#include "probe.h"
#include "recording.h"
#include "test_support.h"

namespace {

using namespace palvex_test;

// Where the header's length lies: the 8 bytes that every length write puts.
bool is_length_write(const memory_file::change& c, std::int64_t field) {
    return c.kind == memory_file::change::e_write && c.position == field && c.bytes.size() == 8;
}

TEST(header_length, a_fragment_counts_in_the_header_once_it_is_on_the_disk) {
    auto owned = std::make_unique<memory_file>();
    memory_file& file = *owned;
    file.log_changes = true;
    detail::recording r;
    ASSERT_FALSE(open_small(r, std::move(owned)));
    clock_signal signal(320, 240);
    ASSERT_FALSE(write_clock_to(r, signal, 230));
    const std::int64_t field = r.file_output()->length_field();
    ASSERT_GT(field, 0);
    // The field lies in one sector of the disk.
    EXPECT_EQ(field / k_sector, (field + 7) / k_sector);

    std::vector<std::uint8_t> now;
    std::int64_t length_at_last_sync = 0;
    std::int64_t length_writes = 0;
    const memory_file::change* previous = nullptr;
    for (const memory_file::change& c : file.changes) {
        apply_change(now, c);
        const fragments f = complete_fragments(now);
        if (is_length_write(c, field)) {
            ++length_writes;
            // Written only right after a sync, and then exactly what the
            // fragments on the disk hold.
            ASSERT_NE(previous, nullptr);
            EXPECT_EQ(previous->kind, memory_file::change::e_sync)
                << "length write " << length_writes;
            EXPECT_EQ(f.header_length, f.length) << "length write " << length_writes;
        }
        if (f.header_length >= 0) {
            EXPECT_LE(f.header_length, f.length) << "after change " << (&c - file.changes.data());
        }
        if (c.kind == memory_file::change::e_sync) {
            // One fragment short at most: the one this sync put on the disk.
            EXPECT_EQ(f.header_length, length_at_last_sync);
            length_at_last_sync = f.length;
        }
        previous = &c;
    }
    const fragments last = complete_fragments(now);
    std::printf("%lld fragments, %lld length writes; the header tells %lld ms\n",
                static_cast<long long>(last.count), static_cast<long long>(length_writes),
                static_cast<long long>(last.header_length));
    EXPECT_EQ(length_writes, last.count);
    EXPECT_EQ(last.header_length, last.length);
    // Eight whole seconds (the encoder holds the last frames back): the
    // pictures' presentation ends 80 ms later than their decoding.
    EXPECT_EQ(last.count, 8);
    EXPECT_EQ(last.length, 8080);
}

}  // namespace
