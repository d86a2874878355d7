// The end of a file, on real recordings from the inner recording, which
// ends a file without finishing it: the finish after every single write,
// what it does with files it cannot count, and the end policy for every
// kind of recording, with each of its writes or syncs failing and a power
// loss at any moment of it; and what the end says.
#include "finish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "memory_file.h"
#include "probe.h"
#include "recording.h"
#include "storage.h"
#include "test_support.h"

namespace {

using namespace palvex_test;
namespace detail = Selmet::Palvex::detail;

// A fragmented file as the muxer leaves it, and what the finish would get.
detail::finish_record record_fragmented(const std::string& file, int pairs, std::int32_t bit_rate) {
    settings s(file, 320, 240);
    s.info.bit_rate = bit_rate;
    s.info.audio_bit_rate = 16000;
    detail::recording recording;
    detail::finish_record record;
    EXPECT_FALSE(recording.open(s.info));
    clock_signal signal(320, 240);
    EXPECT_FALSE(write_clock_to(recording, signal, pairs));
    EXPECT_FALSE(recording.end(record));
    EXPECT_TRUE(record.ended);
    return record;
}

// The file as the finish finds it: through the system's file, opened anew.
std::unique_ptr<detail::storage> open_file(const std::string& file) {
    detail::fault problem;
    std::unique_ptr<detail::storage> opened =
        detail::open_system_file(wide(file).c_str(), file, false, problem);
    EXPECT_NE(opened, nullptr) << problem.text;
    return opened;
}

detail::ending finish(const std::string& file, const detail::finish_record& record,
                      std::int32_t writes = -1) {
    detail::seams stop_early;
    stop_early.finish_writes = writes;
    return detail::end_file(*open_file(file), record, stop_early);
}

// True when the top-level boxes fill the file exactly.
bool whole_boxes(const std::vector<std::uint8_t>& bytes) {
    std::int64_t at = 0;
    const auto size = std::int64_t(bytes.size());
    while (size - at >= 8) {
        detail::top_box b;
        const detail::byte_span head(bytes.data() + at,
                                     std::size_t(std::min<std::int64_t>(16, size - at)));
        if (!detail::read_top_box(head, at, size, b)) return false;
        at += b.size;
    }
    return at == size;
}

TEST(end_file, the_file_plays_whole_after_every_single_write_of_the_finish) {
    constexpr int k_pairs = 100;  // four whole fragments
    const std::string file = "palvex_steps.m4v";
    detail::finish_record record = record_fragmented(file, k_pairs, 200000);
    const std::vector<std::uint8_t> fragmented = read_file(file);
    ASSERT_TRUE(finish(file, record).whole());
    const std::vector<std::uint8_t> finished = read_file(file);
    ASSERT_NE(finished, fragmented);

    std::vector<std::uint8_t> previous = fragmented;
    for (std::int32_t k = 0;; ++k) {
        write_file(file, fragmented);
        const detail::ending e = finish(file, record, k);
        ASSERT_TRUE(e.failed.empty()) << detail::describe(e);
        const std::vector<std::uint8_t> left = read_file(file);
        if (k > 0) {
            EXPECT_NE(left, previous) << "write " << k << " changed nothing";
        }
        previous = left;
        const probe_result p = probe(file);
        ASSERT_TRUE(p.ran) << "after " << k << " writes: " << p.text;
        EXPECT_EQ(p.video_frames, k_pairs) << "after " << k << " writes";
        EXPECT_GE(p.audio_frames, k_pairs * 1920 / 1024) << "after " << k << " writes";
#if !defined(_WIN32)
        const gst_result g = gst_decode(file);
        ASSERT_TRUE(g.ran) << "after " << k << " writes: " << g.text;
        EXPECT_EQ(g.video_frames, k_pairs) << "after " << k << " writes";
        EXPECT_GE(g.audio_samples, k_pairs * 1920) << "after " << k << " writes";
        const mediainfo_result m = mediainfo(file);
        ASSERT_TRUE(m.ran) << "after " << k << " writes: " << m.text;
        EXPECT_EQ(m.video_frames, k_pairs) << "after " << k << " writes";
#endif
        if (left == finished) {
            std::printf("the finish is %d writes; the file played after each\n", k);
            EXPECT_GE(k, 4);
            const std::vector<std::string> boxes = top_level_boxes(left);
            EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
            EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
            break;
        }
        ASSERT_LT(k, 50) << "the finish does not end";
    }
}

// After a clean end every track holds what the muxer was given, the last
// one checked like the first; an end that finds otherwise leaves the
// fragmented file as it was, and says why.
TEST(end_file, a_file_whose_tracks_do_not_hold_what_was_written_is_left_as_it_was) {
    const std::string file = "palvex_counted.m4v";
    const detail::finish_record record = record_fragmented(file, 60, 200000);
    const std::vector<std::uint8_t> fragmented = read_file(file);
    ASSERT_EQ(record.samples_written.size(), 2u);
    EXPECT_EQ(record.samples_written[0], 60);
    for (const auto& [track, more] : {std::pair{0, 1}, {0, -1}, {1, -1}}) {
        detail::finish_record counted = record;
        counted.samples_written[std::size_t(track)] += more;
        memory_file f;
        f.bytes = fragmented;
        const detail::ending e = detail::end_file(f, counted);
        EXPECT_EQ(
            e.failed,
            std::vector<std::string>{
                "it cannot be finished (track " + std::to_string(track + 1) + " holds " +
                std::to_string(record.samples_written[std::size_t(track)]) + " samples, but " +
                std::to_string(counted.samples_written[std::size_t(track)]) + " were written)"});
        EXPECT_EQ(e.outcome, detail::ending::e_fragmented);
        EXPECT_EQ(e.kept, e.fragments);
        EXPECT_EQ(f.bytes, fragmented);
    }
}

// A recording as it stands when close() ends its file, the disk it ends on,
// and what the end must come to without a fault of its own.
struct prepared {
    std::string label;
    std::vector<std::uint8_t> bytes;
    detail::finish_record record;
    std::int64_t allocated = 0;
    std::int64_t capacity = INT64_MAX;
    std::int64_t limit = -1;
    bool copy_on_write = false;
    bool all_kept = true;             // or the fewest fragments given up
    std::vector<std::string> failed;  // the steps that fail on the way
};

memory_file disk_for(const prepared& p) {
    memory_file f;
    f.bytes = p.bytes;
    f.allocated = p.allocated;
    f.capacity = p.capacity;
    f.limit = p.limit;
    f.copy_on_write = p.copy_on_write;
    return f;
}

// Records the clock signal into a disk in memory until a write fails, then
// ends the media as close() does before it ends the file.
prepared prepare(const std::string& label, const std::function<void(memory_file&)>& disk,
                 std::int32_t bit_rate, std::int32_t pairs,
                 const std::function<void(memory_file&)>& before_end = nullptr) {
    auto owned = std::make_unique<memory_file>();
    memory_file& f = *owned;
    disk(f);
    detail::recording r;
    EXPECT_FALSE(open_small(r, std::move(owned), bit_rate));
    clock_signal signal(320, 240);
    write_clock_to(r, signal, pairs);
    if (before_end) before_end(f);
    prepared p;
    p.label = label;
    r.end(p.record);
    p.bytes = f.bytes;
    p.allocated = f.allocated;
    p.capacity = f.capacity;
    p.limit = f.limit;
    return p;
}

std::vector<prepared> kinds_of_recording() {
    const auto plain = [](memory_file&) {};
    const std::vector<std::int64_t> starts = fragment_starts(prepare("", plain, 200000, 250).bytes);
    EXPECT_GE(starts.size(), 7u);
    std::vector<prepared> out;
    out.push_back(prepare("clean end", plain, 200000, 110));
    out.push_back(prepare(
        "full disk, room kept", [](memory_file& f) { f.capacity = 300000; }, 200000, 2000));
    // Fragments of 250 KB: the 17th write is the sixth's, and a torn tail
    // longer than the index is left.
    out.push_back(prepare(
        "a write failed, room held",
        [](memory_file& f) {
            f.fail_write = 17;
            f.fail_write_lands = 32768;
        },
        2000000, 400));
    const auto no_room = [](std::int64_t capacity, std::int64_t limit) {
        return [=](memory_file& f) {
            f.can_allocate = false;
            f.capacity = capacity;
            f.limit = limit;
        };
    };
    prepared full = prepare("full disk without room", no_room(starts.at(5) + 40, -1), 200000, 250);
    full.all_kept = false;
    out.push_back(full);
    prepared cow = full;
    cow.label = "full copy-on-write disk without room";
    cow.copy_on_write = true;
    cow.failed = {
        "writing its index in place of its last fragments failed (No space left on device)"};
    out.push_back(cow);
    // The limit 100 bytes past the end of the sixth fragment: media stops
    // there, and the index does not fit behind it.
    prepared limit =
        prepare("size limit without room", no_room(INT64_MAX, starts.at(6) + 100), 200000, 2000);
    limit.all_kept = false;
    limit.failed = {"writing its index after its media failed (it would pass the file size limit)"};
    out.push_back(limit);
    prepared late = prepare("clean end without room, the disk full after it",
                            no_room(INT64_MAX, -1), 200000, 250);
    late.capacity = std::int64_t(late.bytes.size()) + 200;
    late.all_kept = false;
    late.failed = {"writing its index after its media failed (No space left on device)"};
    out.push_back(late);
    prepared in_close = prepare("a write failed inside close, without room", no_room(INT64_MAX, -1),
                                200000, 130, [](memory_file& f) {
                                    f.fail_write = f.writes + 1;
                                    f.fail_write_lands = 1000;
                                });
    in_close.all_kept = false;
    out.push_back(in_close);
    // The same under a size limit far off: the index goes over the torn
    // fragment and on into the room below the limit, giving up nothing.
    out.push_back(prepare("a write failed inside close, without room, under a limit",
                          no_room(INT64_MAX, 1 << 30), 200000, 130, [](memory_file& f) {
                              f.fail_write = f.writes + 1;
                              f.fail_write_lands = 1000;
                          }));
    return out;
}

// Where the first `kept` fragments of a prepared recording end.
std::int64_t end_of(const prepared& p, std::size_t kept) {
    std::vector<std::int64_t> starts = fragment_starts(p.bytes);
    starts.erase(std::remove_if(starts.begin(), starts.end(),
                                [&p](std::int64_t at) { return at >= p.record.media_end; }),
                 starts.end());
    return kept < starts.size() ? starts[kept] : p.record.media_end;
}

std::int64_t pictures_in(const prepared& p, std::size_t kept) {
    const std::vector<std::uint8_t> first(p.bytes.begin(), p.bytes.begin() + end_of(p, kept));
    return complete_fragments(first).samples.at(0);
}

// The index of the first `kept` fragments, measured by finishing a copy
// that holds only them.
std::int64_t index_bytes(const prepared& p, std::size_t kept) {
    memory_file copy;
    copy.bytes.assign(p.bytes.begin(), p.bytes.begin() + end_of(p, kept));
    detail::finish_record record = p.record;
    record.ended = false;
    record.media_end = end_of(p, kept);
    EXPECT_TRUE(detail::end_file(copy, record).whole());
    return std::int64_t(copy.bytes.size()) - end_of(p, kept);
}

// The file holds what the policy says it left: an ordinary file of the
// first `kept` fragments, or exactly those fragments with a header that
// tells no more; whole boxes only, nothing past the limit, and it plays.
void expect_as_told(const prepared& p, const memory_file& f, const detail::ending& e) {
    EXPECT_TRUE(whole_boxes(f.bytes));
    EXPECT_EQ(f.writes_past_limit, 0);
    EXPECT_LE(e.kept, e.fragments);
    const bool ordinary =
        top_level_boxes(f.bytes) == std::vector<std::string>{"ftyp", "mdat", "moov"};
    EXPECT_EQ(ordinary, e.outcome == detail::ending::e_finished) << detail::describe(e);
    const std::int64_t pictures = pictures_in(p, e.kept);
    if (ordinary) {
        EXPECT_EQ(read_full_index(f.bytes).samples.at(0), pictures);
    } else {
        const fragments held = complete_fragments(f.bytes);
        EXPECT_EQ(held.count, std::int64_t(e.kept)) << detail::describe(e);
        EXPECT_LE(held.header_length, held.length);
        // "its header telling their length" is true to the tick.
        if (e.length == detail::ending::e_length_kept) {
            EXPECT_EQ(held.header_length, held.length) << detail::describe(e);
        }
        EXPECT_FALSE(e.failed.empty());
    }
    write_file("palvex_end.m4v", f.bytes);
    EXPECT_GE(decode_here("palvex_end.m4v").at(0), pictures);
}

TEST(end_file, every_kind_of_recording_ends_as_soundly_as_it_can_whatever_fails_on_the_way) {
    for (const prepared& p : kinds_of_recording()) {
        SCOPED_TRACE(p.label);
        memory_file dry = disk_for(p);
        const detail::ending e = detail::end_file(dry, p.record);
        std::printf("%s: %s (%d writes, %d syncs)\n", p.label.c_str(), detail::describe(e).c_str(),
                    dry.writes, dry.syncs);
        EXPECT_EQ(e.outcome, detail::ending::e_finished);
        EXPECT_EQ(e.failed, p.failed);
        expect_as_told(p, dry, e);
        if (p.all_kept) {
            EXPECT_EQ(e.kept, e.fragments);
        } else {
            // The fewest given up: keeping one more leaves too little room,
            // in the file or below the size limit.
            ASSERT_GT(e.kept, 0u);
            ASSERT_LT(e.kept, e.fragments);
            const std::int64_t reach = std::max(std::int64_t(p.bytes.size()), p.limit);
            EXPECT_GT(index_bytes(p, e.kept + 1), reach - end_of(p, e.kept + 1));
        }
        for (int kind = 0; kind < 3; ++kind) {
            const std::int32_t count = kind == 2 ? dry.syncs : dry.writes;
            for (std::int32_t n = 1; n <= count; ++n) {
                SCOPED_TRACE((kind == 2   ? "sync "
                              : kind == 1 ? "torn write "
                                          : "write ") +
                             std::to_string(n));
                memory_file f = disk_for(p);
                (kind == 2 ? f.fail_sync : f.fail_write) = n;
                f.fail_write_torn = kind == 1;
                expect_as_told(p, f, detail::end_file(f, p.record));
            }
        }
    }
}

TEST(end_file, a_power_loss_anywhere_in_the_end_leaves_a_file_that_plays_and_tells_no_more) {
    for (const prepared& p : kinds_of_recording()) {
        SCOPED_TRACE(p.label);
        memory_file f = disk_for(p);
        f.log_changes = true;
        const detail::ending e = detail::end_file(f, p.record);
        const std::int64_t pictures = pictures_in(p, e.kept);
        std::int64_t states = 0;
        power_losses(p.bytes, f.changes,
                     [&](const std::vector<std::uint8_t>& left, const std::string& label) {
                         const fragments held = complete_fragments(left);
                         if (held.header_length >= 0) {
                             ASSERT_LE(held.header_length, held.length) << label;
                         }
                         const std::vector<std::string> boxes = top_level_boxes(left);
                         ASSERT_GE(std::count(boxes.begin(), boxes.end(), "moov"), 1) << label;
                         for (std::size_t i = 0; i + 1 < boxes.size(); ++i) {
                             ASSERT_NE(boxes[i], "?") << label;
                         }
                         if (++states % 2 != 0) return;
                         write_file("palvex_end_power_loss.m4v", left);
                         ASSERT_GE(decode_here("palvex_end_power_loss.m4v").at(0), pictures)
                             << label;
                     });
        std::printf("%s: %lld states a power loss may leave\n", p.label.c_str(),
                    static_cast<long long>(states));
    }
}
// What the end did, in the words of error()'s text after close().
TEST(end_file, says_what_it_did_and_what_the_file_holds) {
    using detail::ending;
    struct told {
        ending e;
        std::string text;
        bool whole;
    };
    const auto made = [](ending::e_outcome outcome, std::size_t kept, double lost,
                         std::vector<std::string> failed,
                         ending::e_length length = ending::e_length_kept, std::string copies = {}) {
        ending e;
        e.outcome = outcome;
        e.fragments = outcome == ending::e_empty || outcome == ending::e_header_cut ? 0 : 10;
        e.kept = kept;
        e.seconds_kept = double(kept);
        e.seconds_given_up = lost;
        e.failed = std::move(failed);
        e.length = length;
        e.copies_on_write = std::move(copies);
        return e;
    };
    const std::string fragmented_4 =
        "a failed (x), so the file is left fragmented, with the first 4 of its 10 complete "
        "fragments (4.00 s of media)";
    const std::string cow = "it could not be set to be written in place: Operation not permitted";
    // The same ending out of another count of complete fragments.
    const auto out_of = [](ending e, std::size_t fragments) {
        e.fragments = fragments;
        return e;
    };
    for (const told& t : {
             told{made(ending::e_header_cut, 0, 0, {}),
                  "the file holds no playable media: its header was cut short", true},
             told{made(ending::e_empty, 0, 0, {}), "the file holds no complete fragment", true},
             told{made(ending::e_finished, 10, 0, {}),
                  "the file is finished, with all of its media", true},
             told{made(ending::e_finished, 9, 1.004, {}),
                  "the file is finished, without its last 1.00 s of media, which made room for the "
                  "index",
                  false},
             told{made(ending::e_finished, 10, 0, {"its last writes failed (EIO)"}),
                  "its last writes failed (EIO), so the file is finished, with all of its media",
                  false},
             told{made(ending::e_fragmented, 10, 0, {"a failed (x)"}),
                  "a failed (x), so the file is left fragmented, with all of its 10 complete "
                  "fragments (10.00 s of media), its header telling their length",
                  false},
             told{made(ending::e_fragmented, 4, 6, {"a failed (x)", "b failed (y)"}),
                  "a failed (x), b failed (y), so the file is left fragmented, with the first 4 of "
                  "its 10 complete fragments (4.00 s of media), its header telling their length",
                  false},
             told{made(ending::e_fragmented, 4, 6, {"a failed (x)"}, ending::e_length_at_most_kept),
                  fragmented_4 + ", its header telling no more than their length", false},
             told{made(ending::e_fragmented, 4, 6, {"a failed (x)"}, ending::e_length_none),
                  fragmented_4, false},
             told{made(ending::e_fragmented, 4, 6, {"a failed (x)"}, ending::e_length_none, cow),
                  fragmented_4 + " (the file system copies every block written over, and " + cow +
                      ")",
                  false},
             told{out_of(made(ending::e_fragmented, 1, 2, {"a failed (x)"}, ending::e_length_none),
                         3),
                  "a failed (x), so the file is left fragmented, with the first 1 of its 3 "
                  "complete fragments (1.00 s of media)",
                  false},
             told{out_of(made(ending::e_fragmented, 1, 0, {"a failed (x)"}, ending::e_length_none),
                         1),
                  "a failed (x), so the file is left fragmented, with all of its 1 complete "
                  "fragment (1.00 s of media)",
                  false},
             told{made(ending::e_finished, 10, 0, {}, ending::e_length_kept, cow),
                  "the file is finished, with all of its media", true},
         }) {
        EXPECT_EQ(detail::describe(t.e), t.text);
        EXPECT_EQ(t.e.whole(), t.whole) << t.text;
    }
}

}  // namespace
