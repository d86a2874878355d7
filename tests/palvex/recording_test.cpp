// Recordings through the inner writer from open to close: a power loss at
// any moment leaves a file that plays and whose header tells no more than
// its complete fragments; media reaches the disk within two seconds
// whichever streams run; and error() after close() says what the close did.
#include "recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <utility>

#include "index.h"
#include "memory_file.h"
#include "probe.h"
#include "stream.h"
#include "test_support.h"

namespace {

using namespace palvex_test;

using disk_setup = std::function<void(memory_file&)>;

// Pairs of the clock signal, or only its pictures or its sound.
struct phase {
    e_streams streams;
    std::int32_t pairs;
};

// A whole recording into a disk in memory, closed: every change, the file,
// and error()'s text after close().
struct logged {
    std::vector<memory_file::change> changes;
    std::vector<std::uint8_t> bytes;
    std::string text;
    detail::ending ending;
};

logged record_logged(const disk_setup& disk, const std::vector<phase>& phases,
                     const disk_setup& before_close = nullptr, const detail::seams& seams = {}) {
    auto owned = std::make_unique<memory_file>();
    memory_file& file = *owned;
    file.log_changes = true;
    disk(file);
    detail::recording r;
    EXPECT_FALSE(open_small(r, std::move(owned), 200000, seams));
    clock_signal signal(320, 240);
    std::string first;
    for (const phase& p : phases) {
        if (const detail::fault f = write_clock_to(r, signal, p.pairs, nullptr, p.streams)) {
            first = detail::describe(f);
            break;
        }
    }
    if (before_close) before_close(file);
    // The first fault is the writes', or else the close's own.
    if (const detail::fault closed = r.close(); first.empty() && closed) {
        first = detail::describe(closed);
    }
    return logged{file.changes, file.bytes, r.text_after_close(first), r.file_ending()};
}

const disk_setup plain = [](memory_file&) {};

// The pictures a state must play: those of its complete fragments, or of
// its full index once it is an ordinary file.
std::int64_t pictures_held(const std::vector<std::uint8_t>& bytes) {
    const fragments f = complete_fragments(bytes);
    if (f.count > 0) return f.samples[0];
    const full_index index = read_full_index(bytes);
    return index.samples.size() == 2 ? index.samples[0] : 0;
}

// A kind of recording: its disk, what it writes, and what error()'s text
// after close() ends with.
struct scenario {
    const char* label;
    disk_setup disk;
    std::vector<phase> phases;
    const char* says;
};

// Where the n-th fragment of these recordings starts (from one left
// fragmented, recorded at the first call): the disks are sized by them.
std::int64_t fragment_start(std::size_t n) {
    static const std::vector<std::int64_t> starts = [] {
        detail::seams left_fragmented;
        left_fragmented.finish_writes = 0;
        return fragment_starts(
            record_logged(plain, {{e_both, 250}}, nullptr, left_fragmented).bytes);
    }();
    EXPECT_LT(n, starts.size());
    return n < starts.size() ? starts[n] : 0;
}

// The kinds; their disks are sized when they are made ready.
std::vector<scenario> scenarios() {
    const auto no_room = [](std::size_t fragment, std::int64_t past, std::int64_t limit) {
        return [=](memory_file& f) {
            f.can_allocate = false;
            f.capacity = past < 0 ? INT64_MAX : fragment_start(fragment) + past;
            f.limit = limit < 0 ? -1 : fragment_start(fragment) + limit;
        };
    };
    const char* const all = "the file is finished, with all of its media";
    const char* const given_up =
        "the file is finished, without its last 1.00 s of media, which made room for the index";
    return {
        scenario{"clean end", plain, {{e_both, 130}}, ""},
        scenario{
            "pictures a second ahead of the sound", plain, {{e_pictures, 24}, {e_both, 120}}, ""},
        scenario{"sound alone after the pictures", plain, {{e_both, 50}, {e_sound, 100}}, ""},
        scenario{"full disk, room kept",
                 [](memory_file& f) { f.capacity = fragment_start(6) + 60000; },
                 {{e_both, 250}},
                 all},
        scenario{"full disk, no room, the torn fragment holds the index",
                 no_room(5, 20000, -1),
                 {{e_both, 250}},
                 all},
        scenario{"full disk, no room, a fragment given up",
                 no_room(5, 40, -1),
                 {{e_both, 250}},
                 given_up},
        scenario{"full disk, no room, no fragment can hold the index",
                 no_room(1, 40, -1),
                 {{e_both, 250}},
                 "; its index does not fit in place of its fragments, so the file is left "
                 "fragmented, with all of its 1 complete fragment ("},
        scenario{"size limit without room", no_room(6, -1, 100), {{e_both, 250}}, given_up},
    };
}

void PrintTo(const scenario& kind, std::ostream* out) {
    *out << kind.label;
}

// A kind's label as a test's name: "full disk, room kept" is
// full_disk_room_kept.
std::string name_of(const testing::TestParamInfo<scenario>& info) {
    std::string name;
    for (const char* c = info.param.label; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c))) {
            name += *c;
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    return name;
}

// One test a kind, so that each has its own limit (the sanitizers make the
// decodes slow) and they run side by side.
class power_loss : public testing::TestWithParam<scenario> {};

INSTANTIATE_TEST_SUITE_P(recording, power_loss, testing::ValuesIn(scenarios()), name_of);

TEST_P(power_loss, at_any_moment_leaves_a_file_that_plays_and_tells_no_more) {
    const scenario& sc = GetParam();
    const logged s = record_logged(sc.disk, sc.phases);
    const std::string says = sc.says;
    EXPECT_NE(s.text.find(says), std::string::npos) << s.text;
    if (says.empty()) {
        EXPECT_EQ(s.text, "");
    }
    const std::string file = "palvex_power_loss_" + name_of({GetParam(), 0}) + ".m4v";
    std::int64_t states = 0, decoded = 0, torn_packets = 0;
    power_losses(
        {}, s.changes, [&](const std::vector<std::uint8_t>& left, const std::string& label) {
            const fragments f = complete_fragments(left);
            if (f.header_length >= 0) {
                ASSERT_LE(f.header_length, f.length) << label;
            }
            const std::vector<std::string> boxes = top_level_boxes(left);
            // Only the last box may be cut short, what was being
            // written, and never a moof: FFmpeg refuses to open a
            // file that ends in one.
            for (std::size_t i = 0; i + 1 < boxes.size(); ++i) {
                ASSERT_NE(boxes[i], "?") << label;
            }
            if (!boxes.empty() && boxes.back() == "?" && f.end + 8 <= std::int64_t(left.size())) {
                ASSERT_NE(std::string(left.begin() + f.end + 4, left.begin() + f.end + 8), "moof")
                    << label;
            }
            const std::int64_t held = pictures_held(left);
            if (++states % 4 != 0 || held == 0) return;
            ++decoded;
            write_file(file, left);
            // A fragment torn by the loss may hold packets cut short, which
            // the decoder refuses; every complete fragment plays.
            std::int64_t refused = 0;
            const std::vector<std::int64_t> frames = decode_here(file, &refused);
            ASSERT_GE(frames.size(), 1u) << label;
            ASSERT_GE(frames[0], held) << label;
            if (refused > 0) ++torn_packets;
        });
    std::printf(
        "%s: %lld states a power loss may leave, %lld of them decoded (%lld with a "
        "torn packet after the complete fragments)\n",
        sc.label, static_cast<long long>(states), static_cast<long long>(decoded),
        static_cast<long long>(torn_packets));
    write_file(file, s.bytes);
    EXPECT_EQ(decode_here(file).at(0), pictures_held(s.bytes));
}

// Fragments are cut at key frames and, where none comes, by time; the
// interleaver waits for the other stream only so long; pictures wait for
// the first sound only so long. How far the media handed over runs ahead
// of what the header tells is on the disk, from the first second on: the
// figure bounds how much a crash loses and how much waits in memory.
TEST(recording, media_reaches_the_disk_within_two_seconds_whichever_streams_run) {
    const std::string refused =
        "Sound came after the file was started without a sound track (pictures wait for the first "
        "sound for a second)";
    struct run {
        const char* label;
        std::vector<phase> phases;
        std::string stops;  // the fault that ends it, if any
    };
    for (const run& k : {
             run{"both", {{e_both, 800}}, ""},
             run{"sound alone from the start", {{e_sound, 800}}, ""},
             run{"sound alone after both", {{e_both, 50}, {e_sound, 750}}, ""},
             run{"pictures alone from the start", {{e_pictures, 800}}, ""},
             run{"pictures alone after both", {{e_both, 50}, {e_pictures, 750}}, ""},
             run{"pictures 10 s before the first sound",
                 {{e_pictures, 250}, {e_both, 10}},
                 refused},
         }) {
        SCOPED_TRACE(k.label);
        auto owned = std::make_unique<memory_file>();
        memory_file& disk = *owned;
        detail::recording r;
        ASSERT_FALSE(open_small(r, std::move(owned)));
        clock_signal signal(320, 240);
        double most = 0;
        std::int32_t steps = 0;
        std::string stopped;
        for (const phase& p : k.phases) {
            for (std::int32_t i = 0; i < p.pairs && stopped.empty(); ++i) {
                stopped = detail::describe(write_clock_to(r, signal, 1, nullptr, p.streams));
                if (!stopped.empty()) break;
                const double handed = ++steps / 25.0;
                const double on_disk = r.file()->timescale() == 0
                                           ? 0
                                           : double(r.file()->length()) / r.file()->timescale();
                if (handed >= 1) most = std::max(most, handed - on_disk);
            }
        }
        EXPECT_EQ(stopped, k.stops);
        std::printf("%s: media handed over runs at most %.2f s ahead of the disk; %lld fragments\n",
                    k.label, most, static_cast<long long>(r.file()->fragments()));
        EXPECT_LE(most, 2.0);
        EXPECT_GE(r.file()->fragments(), 9);
        r.close();
        EXPECT_TRUE(r.file_ending().whole()) << detail::describe(r.file_ending());
        // A stream that never got a packet has no track in the finished file.
        const auto ran = [&k](e_streams streams) {
            return std::any_of(k.phases.begin(), k.phases.end(), [&](const phase& p) {
                return p.streams == streams || p.streams == e_both;
            });
        };
        write_file("palvex_streams.m4v", disk.bytes);
        const probe_result p = probe("palvex_streams.m4v");
        ASSERT_TRUE(p.ran) << p.text;
        EXPECT_EQ(p.video_codec.empty(), !ran(e_pictures)) << p.text;
        EXPECT_EQ(p.audio_codec.empty(), !ran(e_sound) || !k.stops.empty()) << p.text;
    }
}

// Pictures wait for the first sound a second and no longer: at 25 pictures
// a second, sound after the 25th still joins the file, after the 26th it is
// refused.
TEST(recording, pictures_wait_for_the_first_sound_a_second_and_no_longer) {
    const std::string refused =
        "Sound came after the file was started without a sound track (pictures wait for the first "
        "sound for a second)";
    for (const auto& [pictures, taken] : std::initializer_list<std::pair<std::int32_t, bool>>{
             {24, true}, {25, true}, {26, false}}) {
        SCOPED_TRACE(pictures);
        detail::recording r;
        ASSERT_FALSE(open_small(r, std::make_unique<memory_file>()));
        clock_signal signal(320, 240);
        ASSERT_EQ(detail::describe(write_clock_to(r, signal, pictures, nullptr, e_pictures)), "");
        EXPECT_EQ(detail::describe(write_clock_to(r, signal, 1, nullptr, e_sound)),
                  taken ? "" : refused);
        r.close();
    }
}

// Frames from one key frame to the next: the setting's time in whole frames,
// rounded down, one at least and 600 at most.
TEST(key_frame_interval, is_the_settings_time_in_whole_frames_within_its_bounds) {
    struct row {
        std::int32_t key_frame_ms, time_scale, frame_duration;
        std::int64_t frames;
    };
    for (const row& k : {
             row{1000, 25, 1, 25},
             row{500, 25, 1, 12},
             row{1500, 25, 1, 37},
             row{1000, 30000, 1001, 29},
             row{40, 25, 1, 1},
             row{39, 25, 1, 1},
             row{24000, 25, 1, 600},
             row{24040, 25, 1, 600},
             row{23960, 25, 1, 599},
         }) {
        mp4::info settings;
        settings.key_frame_ms = k.key_frame_ms;
        settings.time_scale = k.time_scale;
        settings.frame_duration = k.frame_duration;
        EXPECT_EQ(detail::key_frame_interval(settings), k.frames)
            << k.key_frame_ms << " ms at " << k.time_scale << "/" << k.frame_duration;
    }
}

// error() after close() for the ends a disk kind does not show (those are
// in the fragmented file's test): a clean close, a clean close that finds
// the disk full after its last fragment, a write that fails inside close(),
// and a finish in the room kept whose first step fails.
// A file left in fragments plays its sound with its pictures as the
// fragments time them: every tone burst of the clock signal within a
// millisecond of its flash (one sound block, 21 ms, stamped late shows
// here; a finished file retimes the sound and hides it). The first second
// is left out: its first sound block is stretched to the pictures' start.
TEST(recording, a_fragmented_file_keeps_sound_and_pictures_in_step) {
    detail::seams left_fragmented;
    left_fragmented.finish_writes = 0;
    const std::string file = "palvex_fragment_times.m4v";
    write_file(file, record_logged(plain, {{e_both, 250}}, nullptr, left_fragmented).bytes);
    const std::vector<double> flashes = flash_times(file);
    const std::vector<double> bursts = burst_times(file);
    ASSERT_EQ(flashes.size(), 10u);
    ASSERT_EQ(bursts.size(), 10u);
    for (std::size_t second = 1; second < 10; ++second) {
        EXPECT_NEAR(bursts[second], flashes[second], 0.001) << "second " << second;
    }
}

TEST(recording, error_after_close_says_what_the_close_did) {
    const std::string no_room =
        "; no room was kept for the index: this system cannot allocate room ahead for the file "
        "(Operation not supported)";
    const std::string given_up =
        "the file is finished, without its last 1.00 s of media, which made room for the index";
    const std::string stopped =
        "Recording stopped: the disk is full; the file keeps its last complete fragment and room "
        "for its index, and is finished when the writer closes";
    struct end {
        const char* label;
        disk_setup disk;
        disk_setup before_close;
        std::string text;
        std::int32_t pairs = 250;  // recorded before the close
    };
    for (const end& e : {
             end{"clean close", plain, nullptr, ""},
             end{"clean close, the disk full after the last fragment",
                 [](memory_file& f) { f.can_allocate = false; },
                 // The last fragment is three writes.
                 [](memory_file& f) { f.fill_disk_after_writes = f.writes + 3; },
                 "Writing its index after its media failed (No space left on device), so the "
                 "file is finished, without its last "},
             end{"a write failed inside close", [](memory_file& f) { f.can_allocate = false; },
                 [](memory_file& f) {
                     f.fail_write = f.writes + 1;
                     f.fail_write_lands = 1000;
                 },
                 "Write failed: Input/output error" + no_room + "; " + given_up},
             // Long enough for the room kept (300000 bytes) to fill.
             end{"room kept, its finish failing", [](memory_file& f) { f.capacity = 300000; },
                 [](memory_file& f) { f.fail_sync = f.syncs + 1; },
                 stopped +
                     "; writing its index after its media failed (Input/output error), so the "
                     "file is finished, without its last ",
                 2000},
         }) {
        SCOPED_TRACE(e.label);
        const logged s = record_logged(e.disk, {{e_both, e.pairs}}, e.before_close);
        EXPECT_EQ(s.text.substr(0, e.text.size()), e.text) << s.text;
        if (e.text.empty()) {
            EXPECT_EQ(s.text, "");
        }
        EXPECT_EQ(top_level_boxes(s.bytes), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
    }
    // A disk too small for the header: nothing to finish, and it says so.
    const logged small = record_logged([](memory_file& f) { f.capacity = 500; }, {{e_both, 25}});
    EXPECT_EQ(small.text,
              "Write failed: No space left on device; no room was kept for the index: the disk had "
              "no room for the first fragment's index; the file holds no playable media: its "
              "header was cut short");
    // A recording's end may be stopped early, as a crash would stop it:
    // the file is left as the media ended.
    detail::seams stop_early;
    stop_early.finish_writes = 0;
    const logged s = record_logged(plain, {{e_both, 60}}, nullptr, stop_early);
    EXPECT_EQ(s.ending.changes, 0);
    const std::vector<std::string> boxes = top_level_boxes(s.bytes);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 3);
}

}  // namespace
