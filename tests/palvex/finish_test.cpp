// The finish and the cut on real files from the inner recording, which ends
// a file without finishing it: the file after every single write of the
// finish, the cut at every byte of a torn last fragment, a finish that fails.
#include "finish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "memory_file.h"
#include "probe.h"
#include "recording.h"
#include "storage.h"
#include "test_support.h"

namespace {

using namespace palvex_test;
namespace detail = Selmet::Palvex::detail;

// A fragmented file as the muxer leaves it, and what the finisher would get.
detail::finish_record record_fragmented(const std::string& file, int pairs, std::int32_t bit_rate) {
    settings s(file, 320, 240);
    s.info.bit_rate = bit_rate;
    s.info.audio_bit_rate = 16000;
    detail::recording recording;
    detail::finish_record record;
    EXPECT_FALSE(recording.open(s.info));
    clock_signal signal(320, 240);
    for (int i = 0; i < pairs; ++i) {
        video_message* frame = signal.next_frame();
        audio_message* block = signal.next_block();
        EXPECT_FALSE(recording.write_video(frame, -1));
        EXPECT_FALSE(recording.write_audio(block));
        frame->release();
        block->release();
    }
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

detail::fault finish(const std::string& file, const detail::finish_record& record,
                     std::int32_t writes = -1) {
    detail::seams stop_early;
    stop_early.finish_writes = writes;
    return detail::finish_file(*open_file(file), record, -1, nullptr, stop_early);
}

detail::fault cut(const std::string& file, const detail::finish_record& record) {
    return detail::cut_torn_fragment(*open_file(file), record);
}

// The top-level boxes fill the file, but for a torn tail that was there
// before and is as it was: what a failed step wrote is never left half.
void expect_no_stray_bytes(const std::vector<std::uint8_t>& bytes,
                           const std::vector<std::uint8_t>& before) {
    std::int64_t at = 0;
    const auto size = std::int64_t(bytes.size());
    while (size - at >= 8) {
        detail::top_box b;
        const detail::byte_span head(bytes.data() + at,
                                     std::size_t(std::min<std::int64_t>(16, size - at)));
        if (!detail::read_top_box(head, at, size, b)) break;
        at += b.size;
    }
    if (at == size) return;
    ASSERT_LE(size, std::int64_t(before.size())) << "bytes past the last whole box at " << at;
    EXPECT_TRUE(std::equal(bytes.begin() + at, bytes.end(), before.begin() + at))
        << "bytes past the last whole box at " << at << " are not the torn tail found";
}

TEST(finish_file, the_file_plays_whole_after_every_single_write_of_the_finish) {
    constexpr int k_pairs = 100;  // four whole fragments
    const std::string file = "palvex_steps.m4v";
    detail::finish_record record = record_fragmented(file, k_pairs, 200000);
    const std::vector<std::uint8_t> fragmented = read_file(file);
    ASSERT_FALSE(finish(file, record));
    const std::vector<std::uint8_t> finished = read_file(file);
    ASSERT_NE(finished, fragmented);

    std::vector<std::uint8_t> previous = fragmented;
    for (std::int32_t k = 0;; ++k) {
        write_file(file, fragmented);
        const detail::fault f = finish(file, record, k);
        ASSERT_FALSE(f) << f.text;
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

TEST(finish_file, a_finish_that_fails_leaves_the_fragmented_file_as_it_was) {
    const std::string file = "palvex_unfinished.m4v";
    detail::finish_record record = record_fragmented(file, 60, 200000);
    const std::vector<std::uint8_t> fragmented = read_file(file);
    ASSERT_EQ(record.samples_written.size(), 2u);
    EXPECT_EQ(record.samples_written[0], 60);
    // The fragments hold other counts than the muxer was given.
    record.samples_written[0] += 1;
    const detail::fault f = finish(file, record);
    EXPECT_EQ(detail::describe(f),
              "The file was recorded but not finished: track 1 holds 60 samples, but 61 were "
              "written");
    EXPECT_EQ(read_file(file), fragmented);
    const probe_result p = probe(file);
    ASSERT_TRUE(p.ran) << p.text;
    EXPECT_EQ(p.video_frames, 60);
}

// The cut itself is checked at every byte. Decoding a cut costs a demuxer and
// a decoder: every 16th cut is decoded, and every one of the first and last
// 16 bytes, where the box headers are. (The fuzz target for the cut reaches
// the bytes in between, over any contents.)
bool decode_this_cut(std::int64_t into_fragment, std::int64_t before_its_end) {
    constexpr std::int64_t k_stride = 16;
    return into_fragment % k_stride == 0 || into_fragment < 16 || before_its_end <= 16;
}

TEST(cut_torn_fragment, a_fragment_torn_at_any_byte_is_cut_and_the_whole_ones_still_decode) {
    const std::string file = "palvex_torn.m4v";
    // Two whole fragments, then a short third one that the tests tear.
    constexpr int k_pairs = 56;
    detail::finish_record record = record_fragmented(file, k_pairs, 20000);
    const std::vector<std::uint8_t> whole = read_file(file);
    const fragments all = complete_fragments(whole);
    ASSERT_EQ(all.count, 3);
    // After the fragments, the muxer's random access index.
    ASSERT_LE(all.end, std::int64_t(whole.size()));
    const std::vector<std::uint8_t> two(whole.begin(), whole.begin() + all.end - 1);
    const fragments kept = complete_fragments(two);
    ASSERT_EQ(kept.count, 2);
    ASSERT_EQ(kept.samples[0], 50);
    // The writer remembers the ends of the whole fragments only.
    record.complete_ends.erase(
        std::remove_if(record.complete_ends.begin(), record.complete_ends.end(),
                       [&kept](std::int64_t end) { return end > kept.end; }),
        record.complete_ends.end());
    ASSERT_EQ(record.complete_ends.back(), kept.end);

    std::printf("tearing the last fragment at each of its %lld bytes\n",
                static_cast<long long>(all.end - kept.end));
    for (std::int64_t at = kept.end; at < all.end; ++at) {
        write_file(file, std::vector<std::uint8_t>(whole.begin(), whole.begin() + at));
        ASSERT_FALSE(cut(file, record));
        const std::vector<std::uint8_t> cut = read_file(file);
        ASSERT_EQ(std::int64_t(cut.size()), at) << "the cut changed the file's length";
        const fragments left = complete_fragments(cut);
        ASSERT_EQ(left.samples, kept.samples) << "torn at " << at;
        if (decode_this_cut(at - kept.end, all.end - at)) {
            const std::vector<std::int64_t> decoded = decode_here(file);
            ASSERT_EQ(decoded.size(), 2u) << "torn at " << at;
            ASSERT_EQ(decoded[0], 50) << "torn at " << at;
            ASSERT_EQ(decoded[1], kept.samples[1]) << "torn at " << at;
        }
        if (at - kept.end >= 8) {
            const std::vector<std::string> boxes = top_level_boxes(cut);
            ASSERT_EQ(boxes.back(), "free") << "torn at " << at;
        }
    }
    // ffprobe agrees, at the edges and in between.
    std::vector<std::int64_t> sample = {kept.end + 1, kept.end + 7, kept.end + 8, all.end - 1};
    for (std::int64_t at = kept.end; at < all.end; at += 200) sample.push_back(at);
    for (const std::int64_t at : sample) {
        write_file(file, std::vector<std::uint8_t>(whole.begin(), whole.begin() + at));
        ASSERT_FALSE(cut(file, record));
        const probe_result p = probe(file);
        ASSERT_TRUE(p.ran) << p.text;
        EXPECT_EQ(p.video_frames, 50) << "torn at " << at;
    }
}

TEST(cut_torn_fragment, the_tail_starts_at_the_last_whole_fragment_that_the_file_holds) {
    EXPECT_EQ(detail::torn_tail(1000, {100, 400, 900}), 900);
    // Ends past the file were never whole on the disk.
    EXPECT_EQ(detail::torn_tail(1000, {100, 400, 1200}), 400);
    // Too little room for a box header, or nothing torn.
    EXPECT_EQ(detail::torn_tail(1000, {100, 995}), -1);
    EXPECT_EQ(detail::torn_tail(1000, {100, 1000}), -1);
    EXPECT_EQ(detail::torn_tail(1000, {}), -1);
}

// Files that another program touched after the writer: a few bytes too
// few for a box after the last one, or a last box whose size says "to the
// end of the file". The finish must not leave them in front of the index or
// let them take it in.
TEST(finish_file, bytes_or_a_box_after_the_media_do_not_hide_the_index) {
    const std::string file = "palvex_touched.m4v";
    const detail::finish_record record = record_fragmented(file, 60, 200000);
    const std::vector<std::uint8_t> fragmented = read_file(file);
    std::vector<std::uint8_t> to_end_box = {0, 0, 0, 0, 'f', 'r', 'e', 'e'};
    to_end_box.resize(40, 0x55);
    for (const auto& [label, tail] :
         {std::pair<const char*, std::vector<std::uint8_t>>{"3 stray bytes", {1, 2, 3}},
          {"a box to the end", to_end_box}}) {
        SCOPED_TRACE(label);
        memory_file touched;
        touched.bytes = fragmented;
        touched.bytes.insert(touched.bytes.end(), tail.begin(), tail.end());
        ASSERT_FALSE(detail::finish_file(touched, record));
        const std::vector<std::string> boxes = top_level_boxes(touched.bytes);
        EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "?"), 0);
        EXPECT_EQ(boxes.back(), "moov");
        EXPECT_EQ(read_full_index(touched.bytes).samples[0], 60);
    }
}

// What a crash may leave of a finish: everything up to its last sync, and
// any part of the changes made after it. Every such file plays whole: after
// a clean end, and after media stopped with a torn fragment behind it.
TEST(finish_file, a_crash_anywhere_in_the_finish_leaves_a_file_that_plays_whole) {
    const std::string file = "palvex_crash.m4v";
    const detail::finish_record record = record_fragmented(file, 60, 200000);
    const std::vector<std::uint8_t> clean = read_file(file);
    const fragments all = complete_fragments(clean);
    ASSERT_EQ(all.count, 3);
    const fragments two =
        complete_fragments(std::vector<std::uint8_t>(clean.begin(), clean.begin() + all.end - 1));
    ASSERT_EQ(two.count, 2);
    const std::vector<std::uint8_t> torn(clean.begin(), clean.begin() + (two.end + all.end) / 2);
    const std::string crashed = "palvex_crashed.m4v";
    for (const auto& [label, start, media_end, frames] :
         {std::tuple<const char*, const std::vector<std::uint8_t>&, std::int64_t, std::int64_t>{
              "clean end", clean, -1, 60},
          {"torn fragment", torn, two.end, 50}}) {
        SCOPED_TRACE(label);
        memory_file f;
        f.bytes = start;
        f.log_changes = true;
        ASSERT_FALSE(detail::finish_file(f, record, media_end));
        // The changes between two syncs, in order.
        std::vector<std::vector<const memory_file::change*>> between(1);
        for (const memory_file::change& c : f.changes) {
            if (c.kind == memory_file::change::e_sync) {
                between.emplace_back();
            } else {
                between.back().push_back(&c);
            }
        }
        const auto apply = [](std::vector<std::uint8_t>& bytes, const memory_file::change& c) {
            if (c.kind == memory_file::change::e_cut) {
                bytes.resize(std::size_t(c.position));
                return;
            }
            const std::size_t end = std::size_t(c.position) + c.bytes.size();
            if (end > bytes.size()) bytes.resize(end);
            std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin() + c.position);
        };
        std::vector<std::uint8_t> synced = start;
        int states = 0;
        for (const auto& changes : between) {
            ASSERT_LE(changes.size(), 4u) << "too much at stake between two syncs";
            for (std::uint32_t kept = 0; kept < (1u << changes.size()); ++kept) {
                // The file as the finish found it is not the finish's doing.
                if (states == 0 && kept == 0 && media_end >= 0) {
                    ++states;
                    continue;
                }
                std::vector<std::uint8_t> left = synced;
                for (std::size_t i = 0; i < changes.size(); ++i) {
                    if ((kept >> i) & 1) apply(left, *changes[i]);
                }
                // An index at the top level, as every player needs it
                // (FFmpeg alone also finds one hidden in a free box); for a
                // while the full one stands behind the first, which counts.
                const std::vector<std::string> boxes = top_level_boxes(left);
                EXPECT_GE(std::count(boxes.begin(), boxes.end(), "moov"), 1) << "state " << states;
                EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "?"), 0) << "state " << states;
                write_file(crashed, left);
                const std::vector<std::int64_t> decoded = decode_here(crashed);
                ASSERT_EQ(decoded.size(), 2u) << "state " << states;
                EXPECT_EQ(decoded[0], frames) << "state " << states;
                EXPECT_GT(decoded[1], 0) << "state " << states;
                ++states;
            }
            for (const memory_file::change* c : changes) apply(synced, *c);
        }
        EXPECT_EQ(synced, f.bytes);
        std::printf("%s: %d states a crash may leave, each plays whole\n", label, states);
    }
}

// After a clean end every track holds what the muxer was given; the last
// one is checked like the first.
TEST(finish_file, a_sample_missing_from_any_track_fails_the_finish) {
    const std::string file = "palvex_counted.m4v";
    detail::finish_record record = record_fragmented(file, 40, 200000);
    const std::vector<std::uint8_t> fragmented = read_file(file);
    ASSERT_EQ(record.samples_written.size(), 2u);
    for (std::size_t track = 0; track < 2; ++track) {
        detail::finish_record counted = record;
        counted.samples_written[track] -= 1;
        memory_file f;
        f.bytes = fragmented;
        const detail::fault problem = detail::finish_file(f, counted);
        EXPECT_EQ(problem.kind, detail::e_fault_layout) << "track " << track + 1;
        EXPECT_NE(problem.text.find("track " + std::to_string(track + 1) + " holds"),
                  std::string::npos)
            << problem.text;
        EXPECT_EQ(f.bytes, fragmented);
    }
}

// The choice of what to give up, at its edges: fragments of 1000 bytes
// after a header of 100, and a tail after the last one.
TEST(finish_giving_up, keeps_the_most_fragments_whose_room_holds_their_index) {
    constexpr std::size_t n = 100;
    const auto end = [](std::size_t kept) { return std::int64_t(100 + 1000 * kept); };
    struct edge {
        const char* label;
        std::int64_t tail;
        std::int64_t fixed;  // index bytes: this, and 10 per fragment kept
        std::size_t kept;
    };
    for (const edge& e : {
             edge{"the tail holds it", 1050, 50, n},
             edge{"the tail holds it exactly", 1050, 50, n},
             edge{"just fits in place of 30 fragments", 0, 30000 - 700, 70},
             edge{"one byte more: 31 fragments", 0, 30000 - 700 + 1, 69},
             edge{"fits only in place of all but the first", 0, 99000 - 10, 1},
             edge{"does not fit at all", 0, 99000 - 10 + 1, 0},
         }) {
        SCOPED_TRACE(e.label);
        const std::int64_t size = end(n) + e.tail;
        std::set<std::size_t> built;
        const auto index_size = [&](std::size_t kept) {
            built.insert(kept);
            return e.fixed + 10 * std::int64_t(kept);
        };
        const auto room = [&](std::size_t kept) { return size - end(kept); };
        EXPECT_EQ(detail::most_fragments_kept(n, index_size, room), e.kept);
        // Building an index costs a pass over every sample: a few only.
        EXPECT_LE(built.size(), e.kept > 1 && e.kept < n ? 4u : 8u);
    }
    EXPECT_EQ(detail::most_fragments_kept(
                  0, [](std::size_t) { return 0; }, [](std::size_t) { return 0; }),
              0u);
    // A day of one-second fragments of 625 KB, the index 490 bytes a second.
    constexpr std::size_t day = 86400;
    std::set<std::size_t> built;
    const std::size_t kept = detail::most_fragments_kept(
        day,
        [&](std::size_t k) {
            built.insert(k);
            return std::int64_t(4000 + 490 * k);
        },
        [&](std::size_t k) { return std::int64_t(625000) * std::int64_t(day - k) + 300; });
    EXPECT_EQ(
        std::int64_t(625000) * std::int64_t(day - kept) + 300 >= std::int64_t(4000 + 490 * kept),
        true);
    EXPECT_LT(std::int64_t(625000) * std::int64_t(day - kept - 1) + 300,
              std::int64_t(4000 + 490 * (kept + 1)));
    EXPECT_LE(built.size(), 3u);
    std::printf("a day: %zu of %zu fragments kept, %zu indexes built\n", kept, day, built.size());
}

// A recording into a full disk without room kept, torn 40 bytes into its
// sixth fragment: the fifth makes room for the index of four. After every
// single write of that finish the file plays, with no fewer pictures than
// its complete fragments hold, and its header never tells more.
TEST(finish_giving_up, the_file_plays_after_every_single_write_and_ends_without_one_fragment) {
    // Where the fragments start, from the same recording left open.
    std::vector<std::int64_t> starts;
    std::vector<std::uint8_t> open_file;
    for (const bool full : {false, true}) {
        auto owned = std::make_unique<memory_file>();
        memory_file& f = *owned;
        f.can_allocate = false;
        if (full) f.capacity = starts.at(5) + 40;
        detail::recording r;
        ASSERT_FALSE(open_small(r, std::move(owned)));
        clock_signal signal(320, 240);
        const detail::fault first = write_clock_to(r, signal, 250);
        if (!full) {
            starts = fragment_starts(f.bytes);
            ASSERT_GE(starts.size(), 7u);
            continue;
        }
        ASSERT_TRUE(first);
        detail::finish_record record;
        r.end(record);
        ASSERT_TRUE(r.torn());
        const std::vector<std::uint8_t> torn = f.bytes;
        const fragments before = complete_fragments(torn);
        ASSERT_EQ(before.count, 5);
        ASSERT_EQ(before.header_length, before.length);
        const std::int64_t media_end =
            detail::last_complete_end(std::int64_t(torn.size()), record.complete_ends);
        ASSERT_EQ(media_end, starts[5]);

        memory_file whole;
        whole.bytes = torn;
        detail::given_up all;
        ASSERT_FALSE(detail::finish_giving_up(whole, record, media_end, all));
        const std::vector<std::uint8_t> finished = whole.bytes;
        std::vector<std::uint8_t> previous = torn;
        for (std::int32_t k = 0;; ++k) {
            SCOPED_TRACE("after " + std::to_string(k) + " writes");
            memory_file file;
            file.bytes = torn;
            detail::seams stop_early;
            stop_early.finish_writes = k;
            detail::given_up lost;
            ASSERT_FALSE(
                detail::finish_giving_up(file, record, media_end, lost, nullptr, stop_early));
            EXPECT_EQ(lost.fragments, 5u);
            EXPECT_EQ(lost.kept, 4u);
            EXPECT_DOUBLE_EQ(lost.seconds, 1.0);
            if (k > 0) {
                EXPECT_NE(file.bytes, previous) << "a write changed nothing";
            }
            const fragments left = complete_fragments(file.bytes);
            if (left.header_length >= 0) {
                EXPECT_LE(left.header_length, left.length);
            }
            const std::string name = "palvex_give_up.m4v";
            write_file(name, file.bytes);
            const std::vector<std::int64_t> decoded = decode_here(name);
            ASSERT_EQ(decoded.size(), 2u);
            const full_index index = read_full_index(file.bytes);
            EXPECT_GE(decoded[0], left.count > 0 ? left.samples[0] : index.samples.at(0));
            EXPECT_GE(decoded[0], 100);
            previous = file.bytes;
            if (file.bytes == finished) {
                std::printf("the finish is %d writes; the file played after each\n", k);
                break;
            }
            ASSERT_LT(k, 50) << "the finish does not end";
        }
        // The end: an ordinary file of four fragments, which every judge plays.
        EXPECT_EQ(top_level_boxes(previous), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
        EXPECT_EQ(read_full_index(previous).samples.at(0), 100);
        const std::string name = "palvex_give_up.m4v";
        write_file(name, previous);
        const probe_result p = probe(name);
        ASSERT_TRUE(p.ran) << p.text;
        EXPECT_EQ(p.video_frames, 100);
        EXPECT_NEAR(p.duration, 4.0, 0.1);
#if !defined(_WIN32)
        const gst_result g = gst_decode(name);
        ASSERT_TRUE(g.ran) << g.text;
        EXPECT_EQ(g.video_frames, 100);
        const mediainfo_result m = mediainfo(name);
        ASSERT_TRUE(m.ran) << m.text;
        EXPECT_EQ(m.video_frames, 100);
#endif

        // With 32 bytes fewer after the media, not even the first fragment
        // can hold the index of itself: the file is left as it was.
        memory_file tight;
        tight.bytes.assign(torn.begin(), torn.begin() + starts[1] + 16);
        const std::vector<std::uint8_t> untouched = tight.bytes;
        detail::given_up lost;
        bool changed = true;
        const detail::fault f2 = detail::finish_giving_up(tight, record, starts[1], lost, &changed);
        EXPECT_EQ(f2.text, "its index does not fit in the file");
        EXPECT_FALSE(changed);
        EXPECT_EQ(tight.bytes, untouched);
        EXPECT_EQ(lost.kept, 0u);
    }
}

// Every finish, its n-th write or sync failing, for every n: the file
// plays, as it was or as far as the finish got, its header tells no more
// than its fragments, and nothing the failed step wrote is left past the
// last whole box (only a torn tail the finish found, untouched).
TEST(finish_faults,
     any_failed_write_or_sync_inside_a_finish_leaves_a_file_that_plays_and_no_stray_bytes) {
    struct prepared {
        const char* label;
        std::vector<std::uint8_t> bytes;
        detail::finish_record record;
        std::int64_t media_end = -1;
        std::int64_t pictures = 0;  // the finish keeps at least these
    };
    // Recordings into memory, ended as the writer ends them before its finish.
    const auto prepare = [](const char* label, std::unique_ptr<memory_file> owned,
                            std::int32_t bit_rate, std::int32_t pairs) {
        memory_file& f = *owned;
        detail::recording r;
        EXPECT_FALSE(open_small(r, std::move(owned), bit_rate));
        clock_signal signal(320, 240);
        write_clock_to(r, signal, pairs);
        prepared p{label, {}, {}, -1, 0};
        r.end(p.record);
        p.bytes = f.bytes;
        const fragments whole = complete_fragments(p.bytes);
        p.pictures = whole.count > 0 ? whole.samples[0] : 0;
        if (r.torn()) {
            p.media_end =
                detail::last_complete_end(std::int64_t(p.bytes.size()), p.record.complete_ends);
        }
        return p;
    };
    std::vector<prepared> cases;
    cases.push_back(prepare("clean end", std::make_unique<memory_file>(), 200000, 110));
    {
        auto torn = std::make_unique<memory_file>();
        torn->fail_write = 18;
        torn->fail_write_lands = 32768;
        cases.push_back(prepare("a write failed, room held", std::move(torn), 2000000, 400));
    }
    {
        auto probe_run = std::make_unique<memory_file>();
        memory_file& f = *probe_run;
        detail::recording r;
        ASSERT_FALSE(open_small(r, std::move(probe_run)));
        clock_signal signal(320, 240);
        write_clock_to(r, signal, 250);
        const std::vector<std::int64_t> starts = fragment_starts(f.bytes);
        ASSERT_GE(starts.size(), 6u);
        auto full = std::make_unique<memory_file>();
        full->can_allocate = false;
        full->capacity = starts[5] + 40;
        cases.push_back(prepare("a full disk without room", std::move(full), 200000, 250));
        cases.back().pictures -= 25;  // the last fragment makes room for the index
    }
    for (const prepared& p : cases) {
        SCOPED_TRACE(p.label);
        ASSERT_GE(p.pictures, 50);
        const bool give_up = std::string(p.label) == "a full disk without room";
        const auto finish = [&](memory_file& f) {
            if (give_up) {
                detail::given_up lost;
                return detail::finish_giving_up(f, p.record, p.media_end, lost);
            }
            return detail::finish_file(f, p.record, p.media_end);
        };
        memory_file dry;
        dry.bytes = p.bytes;
        ASSERT_FALSE(finish(dry));
        std::printf("%s: the finish makes %d writes and %d syncs\n", p.label, dry.writes,
                    dry.syncs);
        ASSERT_GT(dry.writes, 2);
        for (int kind = 0; kind < 3; ++kind) {
            const std::int32_t count = kind == 2 ? dry.syncs : dry.writes;
            for (std::int32_t n = 1; n <= count; ++n) {
                const std::string label = std::string(kind == 2   ? "sync "
                                                      : kind == 1 ? "torn write "
                                                                  : "write ") +
                                          std::to_string(n);
                SCOPED_TRACE(label);
                memory_file f;
                f.bytes = p.bytes;
                if (kind == 2) {
                    f.fail_sync = n;
                } else {
                    f.fail_write = n;
                    f.fail_write_torn = kind == 1;
                }
                // The finish without room tries once more after a failed
                // write of its index, which may then succeed.
                if (!finish(f)) {
                    EXPECT_TRUE(give_up) << "a finish whose step failed reports success";
                    EXPECT_EQ(top_level_boxes(f.bytes),
                              (std::vector<std::string>{"ftyp", "mdat", "moov"}));
                }
                expect_no_stray_bytes(f.bytes, p.bytes);
                const fragments left = complete_fragments(f.bytes);
                if (left.header_length >= 0) {
                    EXPECT_LE(left.header_length, left.length);
                }
                write_file("palvex_finish_fault.m4v", f.bytes);
                const std::vector<std::int64_t> frames = decode_here("palvex_finish_fault.m4v");
                ASSERT_EQ(frames.size(), 2u);
                EXPECT_GE(frames[0], p.pictures);
            }
        }
    }
}

}  // namespace
