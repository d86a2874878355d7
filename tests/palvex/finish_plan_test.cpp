// What finishes a file, worked out without it: the plan of writes over a
// layout made here box by box, with every kind of tail after the media and
// layouts that are not the muxer's; and the choice of what to give up, at
// its edges.
#include "finish_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace Selmet::Palvex::detail;

// A file of boxes, each its header and zeros.
struct boxes_file {
    byte_vector bytes;
    std::vector<top_box> layout;

    void add(const char (&type)[5], std::uint32_t size) {
        layout.push_back(top_box{fourcc(type), std::int64_t(bytes.size()), size, 8});
        const byte_vector header = header_bytes(fourcc(type), size);
        bytes.insert(bytes.end(), header.begin(), header.end());
        bytes.resize(bytes.size() + size - 8, 0);
    }
};

// The top-level boxes of `bytes` by type; "?" for a box cut short, nothing
// for fewer than 8 bytes after the last.
std::vector<std::string> walk(const byte_vector& bytes) {
    std::vector<std::string> types;
    for (std::int64_t at = 0, size = std::int64_t(bytes.size()); size - at >= 8;) {
        top_box b;
        if (!read_top_box(byte_span(bytes).subspan(std::size_t(at)), at, size, b)) {
            types.push_back("?");
            break;
        }
        types.push_back(fourcc_text(b.type));
        at += b.size;
    }
    return types;
}

void apply(byte_vector& bytes, const patch& p) {
    if (p.bytes.empty()) {
        bytes.resize(std::size_t(p.position));
        return;
    }
    const std::size_t end = std::size_t(p.position) + p.bytes.size();
    if (end > bytes.size()) bytes.resize(end);
    std::copy(p.bytes.begin(), p.bytes.end(), bytes.begin() + p.position);
}

// A header and two fragments, a tail of any length after them: after every
// step of the plan the file is whole boxes (with at most 7 stray bytes
// after them, which players pass over) and it ends an ordinary file, the
// index at the media's end and nothing after it.
TEST(plan_finish, leaves_whole_boxes_after_every_step_whatever_tail_follows_the_media) {
    boxes_file f;
    f.add("ftyp", 28);
    f.add("moov", 1000);
    for (int i = 0; i < 2; ++i) {
        f.add("moof", 200);
        f.add("mdat", 5000);
    }
    const auto media_end = std::int64_t(f.bytes.size());
    constexpr std::int64_t k_index = 600;
    byte_vector index = header_bytes(fourcc("moov"), k_index);
    index.resize(k_index, 0x11);
    struct tail {
        std::int64_t bytes;
        std::size_t steps;  // of the plan
    };
    // Nothing; fewer than a box header; a box header; shorter than the
    // index; as long; a box header longer; a whole fragment longer.
    for (const tail t : {tail{0, 4}, tail{3, 4}, tail{8, 5}, tail{k_index - 1, 5}, tail{k_index, 5},
                         tail{k_index + 7, 6}, tail{k_index + 8, 7}, tail{k_index + 5200, 7}}) {
        SCOPED_TRACE("a tail of " + std::to_string(t.bytes));
        byte_vector file = f.bytes;
        file.resize(file.size() + std::size_t(t.bytes), 0x5A);
        const std::vector<patch> plan =
            plan_finish(f.layout, media_end, std::int64_t(file.size()), index);
        ASSERT_EQ(plan.size(), t.steps);
        for (std::size_t i = 0; i < plan.size(); ++i) {
            apply(file, plan[i]);
            const std::vector<std::string> boxes = walk(file);
            EXPECT_TRUE(std::find(boxes.begin(), boxes.end(), "?") == boxes.end())
                << "after step " << i;
        }
        EXPECT_EQ(walk(file), (std::vector<std::string>{"ftyp", "mdat", "moov"}));
        EXPECT_EQ(std::int64_t(file.size()), media_end + k_index);
        EXPECT_EQ(file[std::size_t(media_end) + 8], 0x11);
    }
}

TEST(plan_finish, is_empty_for_a_layout_the_muxer_does_not_write) {
    const auto plan_of = [](const std::vector<std::pair<const char*, std::uint32_t>>& boxes,
                            std::int64_t cut_media, std::int64_t index) {
        boxes_file f;
        for (const auto& [type, size] : boxes) {
            char name[5] = {};
            std::copy(type, type + 4, name);
            f.add(name, size);
        }
        byte_vector full = header_bytes(fourcc("moov"), std::uint64_t(index));
        full.resize(std::size_t(index), 0);
        const auto end = std::int64_t(f.bytes.size());
        return plan_finish(f.layout, end - cut_media, end, full).size();
    };
    const std::vector<std::pair<const char*, std::uint32_t>> good = {
        {"ftyp", 28}, {"moov", 100}, {"moof", 50}, {"mdat", 400}};
    EXPECT_GT(plan_of(good, 0, 100), 0u);
    EXPECT_EQ(plan_of({{"ftyp", 28}, {"moof", 50}, {"mdat", 400}}, 0, 100), 0u);
    EXPECT_EQ(plan_of({{"ftyp", 28}, {"moov", 15}, {"moof", 50}, {"mdat", 400}}, 0, 100), 0u);
    EXPECT_EQ(plan_of({{"ftyp", 28}, {"moov", 100}}, 0, 100), 0u);
    // The media ending inside the last fragment, and an index too small.
    EXPECT_EQ(plan_of(good, 1, 100), 0u);
    EXPECT_EQ(plan_of(good, 0, 7), 0u);
}

// The choice of what to give up, at its edges: fragments of 1000 bytes
// after a header of 100, and a tail after the last one.
TEST(most_fragments_kept, keeps_the_most_fragments_whose_room_holds_their_index) {
    constexpr std::size_t n = 100;
    const auto end = [](std::size_t kept) { return std::int64_t(100 + 1000 * kept); };
    struct edge {
        const char* label;
        std::int64_t tail;
        std::int64_t fixed;  // index bytes: this, and 10 per fragment kept
        std::size_t kept;
    };
    for (const edge& e : {
             edge{"the tail holds it", 1051, 50, n},
             edge{"the tail holds it exactly", 1050, 50, n},
             edge{"one byte short: the last fragment given up", 1049, 50, n - 1},
             edge{"just fits in place of 30 fragments", 0, 30000 - 700, 70},
             edge{"one byte more: 31 fragments", 0, 30000 - 700 + 1, 69},
             edge{"fits only in place of all but the first", 0, 99000 - 10, 1},
             edge{"does not fit at all", 0, 99000 - 10 + 1, 0},
         }) {
        SCOPED_TRACE(e.label);
        const std::int64_t size = end(n) + e.tail;
        std::size_t built = 0;
        const auto index_size = [&](std::size_t kept) {
            ++built;
            return e.fixed + 10 * std::int64_t(kept);
        };
        const auto room = [&](std::size_t kept) { return size - end(kept); };
        EXPECT_EQ(most_fragments_kept(n, index_size, room), e.kept);
        // Building an index costs a pass over every sample: a few only.
        EXPECT_LE(built, e.kept > 1 && e.kept < n - 1 ? 4u : 8u);
    }
    EXPECT_EQ(most_fragments_kept(
                  0, [](std::size_t) { return 0; }, [](std::size_t) { return 0; }),
              0u);
    // A day of one-second fragments of 625 KB, the index 490 bytes a second.
    constexpr std::size_t day = 86400;
    std::size_t built = 0;
    const auto index_size = [&](std::size_t k) {
        ++built;
        return std::int64_t(4000 + 490 * k);
    };
    const auto room = [](std::size_t k) {
        return std::int64_t(625000) * std::int64_t(day - k) + 300;
    };
    const std::size_t kept = most_fragments_kept(day, index_size, room);
    EXPECT_GE(room(kept), std::int64_t(4000 + 490 * kept));
    EXPECT_LT(room(kept + 1), std::int64_t(4000 + 490 * (kept + 1)));
    EXPECT_LE(built, 3u);
    std::printf("a day: %zu of %zu fragments kept, %zu indexes built\n", kept, day, built);
}

}  // namespace
