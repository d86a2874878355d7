// A power loss at any moment of a recording, or of any way it ends, leaves
// a file that plays and whose header never tells more than its complete
// fragments hold.
#include "recording.h"

#include <gtest/gtest.h>

#include <memory>

#include "index.h"
#include "memory_file.h"
#include "probe.h"
#include "test_support.h"

namespace {

using namespace palvex_test;

// A whole recording into a memory disk, every change logged, closed.
struct logged_session {
    std::vector<memory_file::change> changes;
    std::vector<std::uint8_t> bytes;  // after close()
    std::string note;                 // what close() added to the error
    detail::fault first;              // of the writes
};

logged_session record_logged(bool can_allocate, std::int64_t capacity, std::int32_t pairs,
                             bool close = true) {
    auto owned = std::make_unique<memory_file>();
    memory_file& file = *owned;
    file.log_changes = true;
    file.can_allocate = can_allocate;
    file.capacity = capacity;
    detail::recording r;
    EXPECT_FALSE(open_small(r, std::move(owned)));
    clock_signal signal(320, 240);
    logged_session out;
    out.first = write_clock_to(r, signal, pairs);
    if (close) r.close();
    out.changes = file.changes;
    out.bytes = file.bytes;
    out.note = r.close_note();
    return out;
}

// The pictures a state must play: those of its complete fragments, or of its
// full index once it is an ordinary file.
std::int64_t pictures_held(const std::vector<std::uint8_t>& bytes, const fragments& f) {
    if (f.count > 0) return f.samples[0];
    const full_index index = read_full_index(bytes);
    return index.samples.size() == 2 ? index.samples[0] : 0;
}

TEST(header_length, a_power_loss_at_any_moment_leaves_a_file_that_plays_and_tells_no_more) {
    // Where the fragments of this recording start, from a run left open.
    const std::vector<std::int64_t> starts =
        fragment_starts(record_logged(true, INT64_MAX, 250, false).bytes);
    ASSERT_GE(starts.size(), 8u);
    struct scenario {
        const char* label;
        bool can_allocate;
        std::int64_t capacity;
        std::int32_t pairs;
        const char* note;  // the start of what close() adds to the error
    };
    const std::int64_t room_for_six = starts[6] + 60000;
    for (const scenario& sc : {
             scenario{"clean end", true, INT64_MAX, 130, ""},
             scenario{"full disk, room kept", true, room_for_six, 250, ""},
             scenario{"full disk, no room, the torn fragment holds the index", false,
                      starts[5] + 20000, 250, "; the file is finished, with all of its media"},
             scenario{"full disk, no room, a fragment given up", false, starts[5] + 40, 250,
                      "; the file is finished, without its last 1.00 s of media"},
             scenario{"full disk, no room, no fragment can hold the index", false, starts[1] + 40,
                      250, "; the file is too short to hold its index"},
         }) {
        SCOPED_TRACE(sc.label);
        const logged_session s = record_logged(sc.can_allocate, sc.capacity, sc.pairs);
        EXPECT_EQ(s.note.substr(0, std::string(sc.note).size()), sc.note) << s.note;
        const std::string file = std::string("palvex_power_loss.m4v");
        std::int64_t states = 0, decoded = 0, torn_packets = 0;
        power_losses({}, s.changes,
                     [&](const std::vector<std::uint8_t>& left, const std::string& label) {
                         const fragments f = complete_fragments(left);
                         if (f.header_length >= 0) {
                             ASSERT_LE(f.header_length, f.length) << label;
                         }
                         const std::vector<std::string> boxes = top_level_boxes(left);
                         // Only the last box may be cut short: what was being written.
                         for (std::size_t i = 0; i + 1 < boxes.size(); ++i) {
                             ASSERT_NE(boxes[i], "?") << label;
                         }
                         const std::int64_t held = pictures_held(left, f);
                         if (++states % 4 != 0 || held == 0) return;
                         ++decoded;
                         write_file(file, left);
                         // A fragment torn by the loss may hold packets cut short, which
                         // the decoder refuses; every complete fragment plays.
                         std::int64_t refused = 0;
                         const std::vector<std::int64_t> frames = decode_here(file, &refused);
                         ASSERT_GE(frames.size(), 1u) << label;
                         EXPECT_GE(frames[0], held) << label;
                         if (frames[0] < held) write_file("palvex_power_loss_failed.m4v", left);
                         if (refused > 0) ++torn_packets;
                     });
        std::printf(
            "%s: %lld states a power loss may leave, %lld of them decoded (%lld with a "
            "torn packet after the complete fragments)\n",
            sc.label, static_cast<long long>(states), static_cast<long long>(decoded),
            static_cast<long long>(torn_packets));
        // And the file as it ends.
        write_file(file, s.bytes);
        const fragments last = complete_fragments(s.bytes);
        const std::vector<std::int64_t> frames = decode_here(file);
        ASSERT_GE(frames.size(), 1u);
        EXPECT_EQ(frames[0], pictures_held(s.bytes, last));
    }
}

}  // namespace
