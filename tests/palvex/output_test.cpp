// Room for the index: recordings into a disk in memory that fills up, a
// file-size limit, another program that takes the disk, a file system that
// cannot allocate ahead, and the faults of the I/O path. Whatever ends the
// recording, the file either ends finished with every complete fragment, or
// (without room for the index) fragmented and cut back to the last one.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "index.h"
#include "memory_file.h"
#include "probe.h"
#include "recording.h"
#include "test_support.h"

namespace {

using namespace palvex_test;

constexpr std::int32_t k_bit_rate = 200000;  // about 25 KB a fragment

struct session {
    std::unique_ptr<detail::recording> recording = std::make_unique<detail::recording>();
    memory_file* file = nullptr;  // owned by the recording
    detail::fault first;          // the first fault of a write
    std::int32_t pairs = 0;       // offered, the failing one included
    fragments before_close;       // what the file held just before close()
    detail::fault closed;
    std::vector<std::uint8_t> after;  // the file after close()
};

// Records the clock signal at 320x240 until a write fails or `most` pairs.
session record(std::unique_ptr<memory_file> file, std::int32_t most) {
    session s;
    s.file = file.get();
    EXPECT_FALSE(open_small(*s.recording, std::move(file), k_bit_rate));
    clock_signal signal(320, 240);
    s.first = write_clock_to(*s.recording, signal, most, &s.pairs);
    s.before_close = complete_fragments(s.file->bytes);
    s.closed = s.recording->close();
    s.after = s.file->bytes;
    return s;
}

std::unique_ptr<memory_file> disk(std::int64_t capacity) {
    auto file = std::make_unique<memory_file>();
    file->capacity = capacity;
    return file;
}

bool fragmented(const std::vector<std::uint8_t>& bytes) {
    const std::vector<std::string> boxes = top_level_boxes(bytes);
    return std::count(boxes.begin(), boxes.end(), "moof") > 0;
}

// The finished file holds exactly the samples of every fragment that was
// complete before close(), has no box cut short, and plays them all.
void expect_finished_with_every_complete_fragment(const session& s, const std::string& label) {
    SCOPED_TRACE(label);
    const std::vector<std::string> boxes = top_level_boxes(s.after);
    EXPECT_EQ(boxes, (std::vector<std::string>{"ftyp", "mdat", "moov"}));
    ASSERT_GE(s.before_close.count, 2);
    EXPECT_EQ(read_full_index(s.after).samples, s.before_close.samples);
    // CTest runs the tests side by side in one folder: a file of its own.
    const std::string file = std::string("palvex_room_") +
                             testing::UnitTest::GetInstance()->current_test_info()->name() + ".m4v";
    write_file(file, s.after);
    const probe_result p = probe(file);
    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_frames, s.before_close.samples[0]);
    EXPECT_TRUE(s.file->closed);
}

// Before the first complete fragment nothing may stop media; after it, room
// for the index stays allocated beyond every write.
TEST(index_room, a_full_disk_stops_media_and_the_file_is_finished_in_the_room_kept) {
    const session s = record(disk(300000), 2000);
    ASSERT_EQ(s.first.kind, detail::e_fault_stopped) << detail::describe(s.first);
    EXPECT_EQ(detail::describe(s.first),
              "Recording stopped: the disk is full; the file keeps its last complete fragment and "
              "room for its index, and is finished when the writer closes");
    // The stop is the writer's failure; closing adds none.
    EXPECT_FALSE(s.closed) << detail::describe(s.closed);
    EXPECT_LE(s.file->used(), s.file->capacity);
    expect_finished_with_every_complete_fragment(s, "full disk");
    // Stopped a fragment early at most: what was lost is less than the room
    // kept for the index and one fragment.
    EXPECT_GT(s.before_close.count, 4);
}

TEST(index_room, a_disk_that_another_program_fills_ends_the_same_way) {
    auto file = disk(INT64_MAX);
    file->fill_disk_after_writes = 40;
    const session s = record(std::move(file), 2000);
    ASSERT_EQ(s.first.kind, detail::e_fault_stopped) << detail::describe(s.first);
    expect_finished_with_every_complete_fragment(s, "filled by another program");
}

TEST(index_room, under_a_size_limit_media_stops_where_the_index_still_fits) {
    auto file = disk(INT64_MAX);
    file->limit = 250000;
    const session s = record(std::move(file), 2000);
    EXPECT_EQ(detail::describe(s.first),
              "Recording stopped: the file size limit is reached; the file keeps its last complete "
              "fragment and room for its index, and is finished when the writer closes");
    EXPECT_LE(std::int64_t(s.after.size()), 250000);
    EXPECT_LE(s.file->allocated, 250000);
    expect_finished_with_every_complete_fragment(s, "size limit");
}

// A write that fails for a reason of the system's own, with the room held:
// the reason reaches error(), and the file is still finished.
TEST(index_room, a_failed_write_keeps_its_reason_and_the_file_is_still_finished) {
    auto file = disk(INT64_MAX);
    file->fail_write = 60;
    const session s = record(std::move(file), 2000);
    EXPECT_EQ(detail::describe(s.first), "Write failed: Input/output error");
    expect_finished_with_every_complete_fragment(s, "failed write");
}

// A sync that fails is a fault like any other: the fragment it should have
// put on the disk does not count as complete.
TEST(index_room, a_failed_sync_fails_the_writer_and_its_fragment_is_not_kept) {
    auto file = disk(INT64_MAX);
    file->fail_sync = 10;
    const session s = record(std::move(file), 2000);
    EXPECT_EQ(detail::describe(s.first),
              "The file could not be put on the disk: Input/output error");
    // Sync 1 puts the header on the disk, and two syncs each fragment (its
    // data, then its moof made alive): syncs 2 to 9 put four fragments.
    EXPECT_EQ(read_full_index(s.after).samples[0], 4 * 25);
    EXPECT_FALSE(fragmented(s.after));
}

// Without room kept for the index, a write that fails ends the recording
// all the same: error() says why no room was kept, and close() finishes the
// file in place of its fewest last fragments that hold the index, and adds
// how much media that gave up.
TEST(index_room, without_room_the_last_fragments_make_room_and_error_says_what_was_given_up) {
    struct fallback {
        const char* label;
        bool can_allocate;
        std::int64_t capacity;
        std::int64_t limit;
        const char* why;
    };
    for (const fallback& f : {
             fallback{
                 "no allocation", false, 300000, -1,
                 "this system cannot allocate room ahead for the file (Operation not supported)"},
             fallback{"disk full at the start", true, 60000, -1,
                      "the disk had no room for the first fragment's index"},
             fallback{"limit below a fragment and its index", true, INT64_MAX, 60000,
                      "the file size limit leaves too little room for the first fragment and "
                      "its index"},
         }) {
        SCOPED_TRACE(f.label);
        auto file = disk(f.capacity);
        file->can_allocate = f.can_allocate;
        file->limit = f.limit;
        const session s = record(std::move(file), 2000);
        ASSERT_TRUE(s.first);
        const std::string failed =
            std::string(f.limit >= 0 ? "Write failed: File too large"
                                     : "Write failed: No space left on device") +
            "; no room was kept for the index: " + f.why;
        EXPECT_EQ(detail::describe(s.first), failed);
        EXPECT_FALSE(fragmented(s.after));
        EXPECT_EQ(top_level_boxes(s.after), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
        const std::vector<std::int64_t> kept = read_full_index(s.after).samples;
        ASSERT_EQ(kept.size(), 2u);
        const std::int64_t lost = s.before_close.samples[0] - kept[0];
        std::printf("%s: %lld of %lld fragments given up\n", f.label,
                    static_cast<long long>(lost / 25),
                    static_cast<long long>(s.before_close.samples[0] / 25));
        EXPECT_GT(kept[0], 0);
        EXPECT_EQ(lost % 25, 0);
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%.2f", double(lost) / 25);
        EXPECT_EQ(s.recording->close_note(),
                  lost == 0 ? std::string("; the file is finished, with all of its media")
                            : "; the file is finished, without its last " + std::string(seconds) +
                                  " s of media, which made room for the index");
        EXPECT_LE(s.file->used(), f.capacity);
        if (f.limit >= 0) {
            EXPECT_LE(std::int64_t(s.after.size()), f.limit);
        }
    }
}

// The room never falls short: after every write the room allocated beyond
// the data covers the bound for what the muxer was given, and the bound
// covers the index that a finish really writes.
TEST(index_room, room_beyond_the_media_covers_the_index_that_the_finish_writes) {
    auto file = disk(INT64_MAX);
    memory_file* f = file.get();
    session s;
    s.file = f;
    ASSERT_FALSE(open_small(*s.recording, std::move(file), k_bit_rate));
    clock_signal signal(320, 240);
    std::int64_t least_room = INT64_MAX;
    for (int i = 0; i < 400; ++i) {
        ASSERT_FALSE(write_clock_to(*s.recording, signal, 1));
        if (f->bytes.size() > 1000) {
            least_room = std::min(least_room, f->allocated - std::int64_t(f->bytes.size()));
        }
    }
    ASSERT_FALSE(s.recording->close());
    const full_index index = read_full_index(f->bytes);
    ASSERT_GT(index.size, 0);
    std::printf("least room beyond the data %lld bytes; the index took %lld\n",
                static_cast<long long>(least_room), static_cast<long long>(index.size));
    EXPECT_GE(least_room, index.size);
    // The file system is asked for room about once a step, not at every write.
    EXPECT_LT(f->allocations, f->writes / 2);
}

// What the muxer asks room for, checked against the index that the finish
// of a real recording writes: a recording of one fragment and a long one.
TEST(index_room, the_room_asked_for_is_never_below_the_real_index) {
    for (const std::int32_t pairs : {30, 750}) {
        SCOPED_TRACE(pairs);
        auto file = disk(INT64_MAX);
        memory_file* f = file.get();
        detail::recording r;
        ASSERT_FALSE(open_small(r, std::move(file), k_bit_rate));
        clock_signal signal(320, 240);
        ASSERT_FALSE(write_clock_to(r, signal, pairs));
        detail::finish_record record;
        ASSERT_FALSE(r.end(record));
        const std::int64_t room = r.file_output()->index_room();
        ASSERT_FALSE(detail::finish_file(r.file_output()->file(), record));
        const full_index index = read_full_index(f->bytes);
        ASSERT_EQ(index.samples.size(), 2u);
        EXPECT_EQ(index.samples[0], pairs);
        std::printf("%d pairs: the index takes %lld bytes, the room asked for is %lld\n", pairs,
                    static_cast<long long>(index.size), static_cast<long long>(room));
        EXPECT_GE(room, index.size);
    }
}

// Between a disk that holds the header's room and one that holds the first
// fragment's: one byte decides between going on without room (and giving
// up fragments at the close) and stopping as full (and finishing in the
// room kept). Both sides end in an ordinary file.
TEST(index_room, one_byte_of_disk_turns_going_on_without_room_into_stopping_as_full) {
    const auto stopped = [](std::int64_t capacity) {
        return record(disk(capacity), 300).first.kind == detail::e_fault_stopped;
    };
    std::int64_t low = 20000;    // not even the header's room
    std::int64_t high = 200000;  // the first fragment's room and more
    ASSERT_FALSE(stopped(low));
    ASSERT_TRUE(stopped(high));
    while (high - low > 1) {
        const std::int64_t middle = low + (high - low) / 2;
        (stopped(middle) ? high : low) = middle;
    }
    const session below = record(disk(low), 300);
    const session at = record(disk(high), 300);
    std::printf("the first fragment's room needs %lld bytes of disk\n",
                static_cast<long long>(high));
    // Below: the header had its room, the first fragment did not.
    EXPECT_GT(below.file->allocated, 0);
    EXPECT_EQ(detail::describe(below.first),
              "Write failed: No space left on device; no room was kept for the index: the disk "
              "had no room for the first fragment's index");
    EXPECT_EQ(top_level_boxes(below.after), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
    EXPECT_GE(read_full_index(below.after).samples.at(0), 25);
    EXPECT_LE(below.file->used(), low);
    // At: the room is held from the first fragment on, and media stops.
    EXPECT_EQ(at.first.kind, detail::e_fault_stopped);
    EXPECT_EQ(at.before_close.count, 1);
    EXPECT_EQ(top_level_boxes(at.after), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
    EXPECT_EQ(read_full_index(at.after).samples, at.before_close.samples);
    EXPECT_LE(at.file->used(), high);
}

// A write that fails part way through a fragment leaves more of it than the
// index takes: the finish in the room kept turns the torn tail into free
// space, writes the index over its start and cuts off the rest.
TEST(index_room, a_torn_tail_longer_than_the_index_is_cut_off_behind_it) {
    auto file = disk(INT64_MAX);
    // Fragments of about 250 KB, each handed over in 64 KiB writes: the
    // 18th write is the third of the fifth fragment, and half of it lands.
    file->fail_write = 18;
    file->fail_write_lands = 32768;
    memory_file* f = file.get();
    session s;
    s.file = f;
    ASSERT_FALSE(open_small(*s.recording, std::move(file), 2000000));
    clock_signal signal(320, 240);
    s.first = write_clock_to(*s.recording, signal, 400);
    ASSERT_EQ(detail::describe(s.first), "Write failed: Input/output error");
    s.before_close = complete_fragments(f->bytes);
    const std::int64_t torn = std::int64_t(f->bytes.size()) - s.before_close.end;
    s.closed = s.recording->close();
    s.after = f->bytes;
    const full_index index = read_full_index(s.after);
    std::printf("a torn tail of %lld bytes; the index takes %lld\n", static_cast<long long>(torn),
                static_cast<long long>(index.size));
    EXPECT_GT(torn, index.size);
    expect_finished_with_every_complete_fragment(s, "torn tail longer than the index");
    // Nothing of the torn tail is left behind the index.
    EXPECT_EQ(std::int64_t(s.after.size()), s.before_close.end + index.size);
}

}  // namespace
