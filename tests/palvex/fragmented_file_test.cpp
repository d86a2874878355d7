// The owner of the file's layout: the muxer's bytes appended whole box by
// whole box, in whatever pieces they come, with the order of writes and
// syncs that a power loss cannot tear into a file that does not play; and
// how media ends on every kind of disk, with what close() then makes of the
// file and says.
#include "fragmented_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "memory_file.h"
#include "probe.h"
#include "recording.h"
#include "test_support.h"

namespace {

using namespace palvex_test;
using change = memory_file::change;

constexpr std::int32_t k_bit_rate = 200000;  // about 25 KB a fragment

// What the muxer made for a short recording, byte for byte: a file that
// keeps no length box, no room and hides no moof holds exactly that.
std::vector<std::uint8_t> muxer_bytes(std::int32_t pairs) {
    auto owned = std::make_unique<memory_file>();
    memory_file& disk = *owned;
    detail::seams plain;
    plain.keep_room = false;
    plain.keep_length = false;
    plain.hide_fragments = false;
    detail::recording r;
    EXPECT_FALSE(open_small(r, std::move(owned), k_bit_rate, plain));
    clock_signal signal(320, 240);
    EXPECT_FALSE(write_clock_to(r, signal, pairs));
    detail::finish_record record;
    EXPECT_FALSE(r.end(record));
    return disk.bytes;
}

std::string type_at(const std::vector<std::uint8_t>& bytes, std::int64_t position) {
    return std::string(bytes.begin() + position + 4, bytes.begin() + position + 8);
}

TEST(fragmented_file,
     appends_the_muxers_boxes_in_any_pieces_and_syncs_each_fragment_before_its_moof) {
    const std::vector<std::uint8_t> made = muxer_bytes(130);
    std::vector<change> first;
    std::int64_t header_end = 0;
    std::int64_t field = 0;
    // All at once (many fragments in one hand-over), a byte at a time, and
    // pieces that end anywhere in a box.
    for (const std::size_t piece : {made.size(), std::size_t(1), std::size_t(4093)}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        auto owned = std::make_unique<memory_file>();
        memory_file& disk = *owned;
        disk.log_changes = true;
        detail::fragmented_file file(std::move(owned), {});
        for (std::size_t at = 0; at < made.size(); at += piece) {
            file.take(detail::byte_span(made).subspan(at, std::min(piece, made.size() - at)));
            ASSERT_FALSE(file.commit());
        }
        const fragments held = complete_fragments(disk.bytes);
        EXPECT_EQ(held.count, 6);
        EXPECT_EQ(file.fragments(), held.count);
        EXPECT_EQ(file.media_end(), std::int64_t(disk.bytes.size()));
        EXPECT_EQ(file.length(), held.length);
        EXPECT_EQ(held.header_length, held.length);
        // The header grew by its length box; the fragments are the muxer's bytes.
        header_end = fragment_starts(disk.bytes).at(0);
        field = file.length_field();
        const std::size_t media = disk.bytes.size() - std::size_t(header_end);
        EXPECT_TRUE(std::equal(made.end() - std::ptrdiff_t(media), made.end(),
                               disk.bytes.begin() + header_end));
        if (first.empty()) {
            first = disk.changes;
            continue;
        }
        ASSERT_EQ(disk.changes.size(), first.size());
        for (std::size_t i = 0; i < first.size(); ++i) {
            EXPECT_EQ(disk.changes[i].kind, first[i].kind) << "change " << i;
            EXPECT_EQ(disk.changes[i].position, first[i].position) << "change " << i;
            EXPECT_EQ(disk.changes[i].bytes, first[i].bytes) << "change " << i;
        }
    }
    // The rows of the README's table of the disk while recording: the
    // header, then five changes a fragment.
    ASSERT_EQ(first.size(), 2u + 5 * 6);
    EXPECT_EQ(field / k_sector, (field + 7) / k_sector) << "the length crosses a sector";
    std::vector<std::uint8_t> now;
    apply_change(now, first[0]);
    EXPECT_EQ(std::int64_t(first[0].bytes.size()), header_end);
    EXPECT_EQ(first[1].kind, change::e_sync);
    for (std::size_t i = 2; i < first.size(); i += 5) {
        const change& media = first[i];
        SCOPED_TRACE("fragment at " + std::to_string(media.position));
        ASSERT_EQ(media.kind, change::e_write);
        EXPECT_EQ(std::string(media.bytes.begin() + 4, media.bytes.begin() + 8), "free");
        EXPECT_EQ(first[i + 1].kind, change::e_sync);
        EXPECT_EQ(first[i + 2].position, media.position + 4);
        EXPECT_EQ(first[i + 2].bytes, (std::vector<std::uint8_t>{'m', 'o', 'o', 'f'}));
        EXPECT_EQ(first[i + 3].kind, change::e_sync);
        for (std::size_t k = i; k < i + 4; ++k) apply_change(now, first[k]);
        EXPECT_EQ(first[i + 4].position, field);
        apply_change(now, first[i + 4]);
        // Exactly what the fragments on the disk hold, not a tick more or less.
        const fragments held = complete_fragments(now);
        EXPECT_EQ(held.header_length, held.length);
    }
    // Whatever a power loss keeps of it: a header that tells no more than
    // the whole fragments, and no moof cut short.
    std::int64_t states = 0;
    power_losses({}, first, [&](const std::vector<std::uint8_t>& left, const std::string& label) {
        ++states;
        const fragments held = complete_fragments(left);
        if (held.header_length >= 0) {
            ASSERT_LE(held.header_length, held.length) << label;
        }
        const std::vector<std::string> boxes = top_level_boxes(left);
        if (!boxes.empty() && boxes.back() == "?" && held.end + 8 <= std::int64_t(left.size())) {
            ASSERT_NE(type_at(left, held.end), "moof") << label;
        }
    });
    std::printf("%lld states a power loss may leave\n", static_cast<long long>(states));
}

TEST(fragmented_file, bytes_that_are_not_a_chain_of_boxes_fail_and_nothing_more_is_written) {
    const std::vector<std::uint8_t> made = muxer_bytes(30);
    const std::vector<std::uint8_t> header(made.begin(),
                                           made.begin() + fragment_starts(made).at(0));
    struct bad {
        const char* label;
        std::vector<std::uint8_t> bytes;
        const char* text;
    };
    std::vector<std::uint8_t> to_end = header;
    to_end.insert(to_end.end(), {0, 0, 0, 0, 'm', 'o', 'o', 'f'});
    std::vector<std::uint8_t> moof_alone = made;
    moof_alone.resize(made.size() - 1);  // the mdat never whole: waits
    const std::vector<std::uint8_t> no_media(made.begin() + std::ptrdiff_t(header.size()),
                                             made.end());
    std::vector<std::uint8_t> other = header;
    other.insert(other.end(), {0, 0, 0, 8, 'm', 'f', 'r', 'a'});
    for (const bad& b : {
             bad{"a box to the end of the file", to_end,
                 "The muxer's output is not a chain of boxes"},
             bad{"a fragment first", no_media, "The muxer's fragments come before its index"},
             bad{"another box after the header", other,
                 "The muxer wrote a mfra box where a fragment belongs"},
         }) {
        SCOPED_TRACE(b.label);
        auto owned = std::make_unique<memory_file>();
        memory_file& disk = *owned;
        detail::fragmented_file file(std::move(owned), {});
        file.take(b.bytes);
        EXPECT_EQ(detail::describe(file.commit()), b.text);
        const std::int32_t writes = disk.writes;
        file.take(made);
        EXPECT_EQ(detail::describe(file.commit()), b.text);
        EXPECT_EQ(disk.writes, writes);
    }
    // A fragment whose media has not come yet waits for it.
    auto owned = std::make_unique<memory_file>();
    memory_file& disk = *owned;
    detail::fragmented_file file(std::move(owned), {});
    const auto all = std::int64_t(fragment_starts(made).size());
    file.take(moof_alone);
    ASSERT_FALSE(file.commit());
    EXPECT_EQ(file.fragments(), all - 1);
    file.take(detail::byte_span(made).last(1));
    ASSERT_FALSE(file.commit());
    EXPECT_EQ(file.fragments(), all);
    EXPECT_EQ(file.media_end(), std::int64_t(disk.bytes.size()));
}

// How media ends on each kind of disk: the first fault, then what close()
// makes of the file and says (error()'s text after it). Where room was kept
// the file ends with every complete fragment; without it, with the most
// whose index fits in the bytes of the ones given up and the torn one.
struct disk_kind {
    const char* label;
    std::int64_t capacity = INT64_MAX;
    std::int64_t limit = -1;
    bool can_allocate = true;
    std::int32_t fail_write = 0;
    std::int32_t fail_sync = 0;
    std::int32_t fill_after = 0;
    std::string first;      // error() while recording
    bool room_kept = true;  // every complete fragment stays
};

TEST(fragmented_file, media_ends_before_the_disk_or_the_limit_and_close_finishes_the_file) {
    const char* const room_tail =
        "; the file keeps its last complete fragment and room for its index, and is finished when "
        "the writer closes";
    const std::string no_room =
        "; no room was kept for the index: this system cannot allocate room ahead for the file "
        "(Operation not supported)";
    const std::string full = std::string("Recording stopped: the disk is full") + room_tail;
    const std::string limit = std::string("Recording stopped: the file size limit is reached");
    const std::string limit_no_room =
        limit + "; the file keeps its last complete fragment" + no_room;
    for (const disk_kind& k : {
             disk_kind{"full disk", 300000, -1, true, 0, 0, 0, full},
             disk_kind{"filled by another program", INT64_MAX, -1, true, 0, 0, 40, full},
             disk_kind{"size limit", INT64_MAX, 250000, true, 0, 0, 0, limit + room_tail},
             disk_kind{"size limit without room", INT64_MAX, 250000, false, 0, 0, 0, limit_no_room,
                       false},
             disk_kind{"failed write", INT64_MAX, -1, true, 60, 0, 0,
                       "Write failed: Input/output error"},
             disk_kind{"failed sync", INT64_MAX, -1, true, 0, 10, 0,
                       "The file could not be put on the disk: Input/output error"},
             disk_kind{"full disk without room", 300000, -1, false, 0, 0, 0,
                       "Write failed: No space left on device" + no_room, false},
         }) {
        SCOPED_TRACE(k.label);
        auto owned = std::make_unique<memory_file>();
        memory_file& disk = *owned;
        disk.capacity = k.capacity;
        disk.limit = k.limit;
        disk.can_allocate = k.can_allocate;
        disk.fail_write = k.fail_write;
        disk.fail_sync = k.fail_sync;
        disk.fill_disk_after_writes = k.fill_after;
        detail::recording r;
        ASSERT_FALSE(open_small(r, std::move(owned), k_bit_rate));
        clock_signal signal(320, 240);
        const std::string first = detail::describe(write_clock_to(r, signal, 2000));
        EXPECT_EQ(first, k.first);
        const fragments before = complete_fragments(disk.bytes);
        // A failed sync leaves the fragment it was for out: two syncs a
        // fragment after the header's, so sync 10 was the fifth's second.
        if (k.fail_sync != 0) {
            EXPECT_EQ(before.count, 4);
        }
        // The limit ends media before a write crosses it, room or not.
        EXPECT_EQ(disk.writes_past_limit, 0);
        r.close();
        EXPECT_TRUE(disk.closed);
        EXPECT_EQ(top_level_boxes(disk.bytes), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
        const std::int64_t kept = read_full_index(disk.bytes).samples.at(0);
        const std::int64_t lost = before.samples.at(0) - kept;
        char given_up[128];
        std::snprintf(given_up, sizeof(given_up),
                      "; the file is finished, without its last %.2f s of media, which made room "
                      "for the index",
                      double(lost) / 25);
        EXPECT_EQ(r.text_after_close(first),
                  first + (lost == 0 ? "; the file is finished, with all of its media" : given_up));
        EXPECT_EQ(r.file_ending().kept, std::size_t(kept / 25));
        if (k.room_kept) {
            EXPECT_EQ(lost, 0);
        }
        // One fragment given up at most: a second's media is bigger than
        // the index of a few seconds.
        EXPECT_LE(lost, 25);
        EXPECT_GE(kept, 50);
        EXPECT_LE(disk.used(), k.capacity);
        if (k.limit >= 0) {
            EXPECT_LE(std::int64_t(disk.bytes.size()), k.limit);
        }
        EXPECT_EQ(disk.writes_past_limit, 0);
        const std::string name = "palvex_ends.m4v";
        write_file(name, disk.bytes);
        EXPECT_EQ(decode_here(name).at(0), kept);
    }
}

// The room never falls short: after every write the room allocated beyond
// the data holds the index that the finish writes, and the file system is
// asked for it about once a step, not at every write.
TEST(fragmented_file, the_room_beyond_the_media_holds_the_index_the_finish_writes) {
    auto owned = std::make_unique<memory_file>();
    memory_file& disk = *owned;
    detail::recording r;
    ASSERT_FALSE(open_small(r, std::move(owned), k_bit_rate));
    clock_signal signal(320, 240);
    std::int64_t least_room = INT64_MAX;
    for (int i = 0; i < 400; ++i) {
        ASSERT_FALSE(write_clock_to(r, signal, 1));
        if (r.file()->fragments() > 0) {
            least_room = std::min(least_room, disk.allocated - std::int64_t(disk.bytes.size()));
        }
    }
    ASSERT_FALSE(r.close());
    const full_index index = read_full_index(disk.bytes);
    std::printf("least room beyond the data %lld bytes; the index took %lld\n",
                static_cast<long long>(least_room), static_cast<long long>(index.size));
    EXPECT_GE(least_room, index.size);
    EXPECT_LT(disk.allocations, disk.writes / 4);
}

// Between a disk that holds the header's room and one that holds the first
// fragment's: one byte decides between going on without room (and giving
// up fragments at the close) and stopping as full (and finishing in the
// room kept). Both sides end in an ordinary file.
TEST(fragmented_file, one_byte_of_disk_turns_going_on_without_room_into_stopping_as_full) {
    struct run {
        detail::fault first;
        std::vector<std::uint8_t> after;
        std::int64_t used = 0;
        std::int64_t complete = 0;
    };
    const auto record = [](std::int64_t capacity) {
        auto owned = std::make_unique<memory_file>();
        memory_file& disk = *owned;
        disk.capacity = capacity;
        detail::recording r;
        EXPECT_FALSE(open_small(r, std::move(owned), k_bit_rate));
        clock_signal signal(320, 240);
        run out;
        out.first = write_clock_to(r, signal, 300);
        out.complete = complete_fragments(disk.bytes).count;
        r.close();
        out.after = disk.bytes;
        out.used = disk.used();
        return out;
    };
    const auto stopped = [&](std::int64_t capacity) {
        return record(capacity).first.kind == detail::e_fault_stopped;
    };
    std::int64_t low = 20000;    // not even the header's room
    std::int64_t high = 200000;  // the first fragment's room and more
    ASSERT_FALSE(stopped(low));
    ASSERT_TRUE(stopped(high));
    while (high - low > 1) {
        const std::int64_t middle = low + (high - low) / 2;
        (stopped(middle) ? high : low) = middle;
    }
    const run below = record(low);
    const run at = record(high);
    std::printf("the first fragment's room needs %lld bytes of disk\n",
                static_cast<long long>(high));
    EXPECT_EQ(detail::describe(below.first),
              "Write failed: No space left on device; no room was kept for the index: the disk "
              "had no room for the first fragment's index");
    EXPECT_EQ(at.first.kind, detail::e_fault_stopped);
    EXPECT_EQ(at.complete, 1);
    for (const run* r : {&below, &at}) {
        EXPECT_EQ(top_level_boxes(r->after), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
        EXPECT_GE(read_full_index(r->after).samples.at(0), 25);
    }
    EXPECT_LE(below.used, low);
    EXPECT_LE(at.used, high);
}

// A recording under a size limit, with room ahead or without: error()'s
// text while recording and after close(), and the fragments the file
// keeps.
struct limited {
    std::string first;
    std::string after_close;
    std::int64_t kept = 0;
};

limited record_limited(std::int64_t limit, bool can_allocate) {
    auto owned = std::make_unique<memory_file>();
    memory_file& disk = *owned;
    disk.limit = limit;
    disk.can_allocate = can_allocate;
    detail::recording r;
    EXPECT_FALSE(open_small(r, std::move(owned), k_bit_rate));
    clock_signal signal(320, 240);
    limited out;
    out.first = detail::describe(write_clock_to(r, signal, 2000));
    r.close();
    out.after_close = r.text_after_close(out.first);
    EXPECT_EQ(disk.writes_past_limit, 0);
    const full_index index = read_full_index(disk.bytes);
    out.kept = index.samples.empty() ? complete_fragments(disk.bytes).count : index.samples[0] / 25;
    return out;
}

// Where a recording's header ends, where each fragment ends, and the room
// it keeps for the index of its first k fragments (counted as it counts).
struct recorded_layout {
    std::int64_t header = 0;
    std::vector<std::int64_t> ends;
    std::vector<std::int64_t> room;  // for 0, 1, ... fragments
};

recorded_layout layout_of(const std::vector<std::uint8_t>& bytes) {
    recorded_layout out;
    detail::movie clock;
    detail::index_skeleton skeleton;
    const detail::byte_span all(bytes);
    for (std::int64_t at = 0; std::int64_t(bytes.size()) - at >= 8;) {
        detail::top_box b;
        if (!detail::read_top_box(all.subspan(std::size_t(at)), at, std::int64_t(bytes.size()),
                                  b)) {
            break;
        }
        const auto payload =
            all.subspan(std::size_t(at + b.header), std::size_t(b.size - b.header));
        if (b.type == detail::fourcc("moov")) {
            EXPECT_FALSE(detail::read_movie(payload, clock));
            EXPECT_FALSE(detail::measure_index(payload, clock, skeleton));
            clock.times_only = true;
            out.header = at + b.size;
            out.room.push_back(detail::index_size(skeleton, clock));
        } else if (b.type == detail::fourcc("moof")) {
            EXPECT_FALSE(detail::add_fragment(payload, at, std::int64_t(bytes.size()), clock));
            out.room.push_back(detail::index_size(skeleton, clock));
        } else if (b.type == detail::fourcc("mdat")) {
            out.ends.push_back(at + b.size);
        }
        at += b.size;
    }
    return out;
}

// A size limit at the edges of the header and of the first fragment, with
// the index's room after it or without: what error() says while recording
// and after close() agree, on both sides of each edge.
TEST(fragmented_file, under_a_size_limit_the_texts_while_recording_and_after_close_agree) {
    const recorded_layout r = layout_of(muxer_bytes(60));
    ASSERT_GE(r.ends.size(), 2u);
    const std::int64_t header = r.header + detail::k_length_box_size;
    const std::int64_t first = r.ends[0] + detail::k_length_box_size;
    const std::int64_t room = first + r.room[1];
    const std::string before_first =
        "Recording stopped: the file size limit is reached before the first complete fragment";
    const std::string no_fragment = before_first + "; the file holds no complete fragment";
    const std::string kept_without_room =
        "Recording stopped: the file size limit is reached; the file keeps its last complete "
        "fragment; no room was kept for the index: the file size limit leaves too little room "
        "for the first fragment and its index";
    const std::string room_kept =
        "Recording stopped: the file size limit is reached; the file keeps its last complete "
        "fragment and room for its index, and is finished when the writer closes";
    const std::string finished = "; the file is finished, with all of its media";
    struct edge {
        const char* label;
        std::int64_t limit;
        std::string first;
        std::string after_close;
    };
    for (const edge& e : {
             edge{"one byte short of the header", header - 1, before_first, no_fragment},
             edge{"the header", header, before_first, no_fragment},
             edge{"one byte short of the first fragment", first - 1, before_first, no_fragment},
             edge{"the first fragment", first, kept_without_room,
                  kept_without_room +
                      "; writing its index after its media failed (it would pass the file size "
                      "limit), its index does not fit in place of its fragments, so the file is "
                      "left fragmented, with all of its 1 complete fragment (1.08 s of media), its "
                      "header telling their length"},
             edge{"one byte short of its index's room", room - 1, kept_without_room,
                  kept_without_room + finished},
             edge{"its index's room", room, room_kept, room_kept + finished},
         }) {
        SCOPED_TRACE(e.label);
        const limited run = record_limited(e.limit, true);
        EXPECT_EQ(run.first, e.first);
        EXPECT_EQ(run.after_close, e.after_close);
    }
}

// With room ahead, media stops where the index of one more fragment would
// pass the limit; without, where the fragment would, and the end gives up
// what it must. On both sides of the room of the fourth fragment's index
// the two keep the same media, within one fragment.
TEST(fragmented_file, a_size_limit_keeps_the_same_media_with_room_and_without) {
    const recorded_layout r = layout_of(muxer_bytes(200));
    ASSERT_GE(r.ends.size(), 5u);
    const std::int64_t edge = r.ends[3] + detail::k_length_box_size + r.room[4];
    struct side {
        std::int64_t limit;
        std::int64_t with_room;
        std::int64_t without_room;
    };
    for (const side& s : {side{edge - 1, 3, 4}, side{edge, 4, 4}}) {
        SCOPED_TRACE("limit " + std::to_string(s.limit));
        const limited with = record_limited(s.limit, true);
        const limited without = record_limited(s.limit, false);
        EXPECT_EQ(with.kept, s.with_room) << with.after_close;
        EXPECT_EQ(without.kept, s.without_room) << without.after_close;
    }
}

}  // namespace
