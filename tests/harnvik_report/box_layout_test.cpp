#include "media/box_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "media/media_probe.h"
#include "recording.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

using namespace Harnvik::Report;
using namespace Harnvik::Report::test;
using bytes = std::vector<std::uint8_t>;

// Reads from memory, and fails the test when asked for a byte outside it.
struct memory_file {
    bytes content;
    bool refuse = false;  // every read fails, as a disk error would
    std::int64_t reads = 0;

    byte_source source() {
        byte_source made;
        made.size = static_cast<std::int64_t>(content.size());
        made.read = [this](std::int64_t offset, std::uint8_t* out, std::size_t count) {
            ++reads;
            EXPECT_GE(offset, 0);
            EXPECT_LE(offset + static_cast<std::int64_t>(count),
                      static_cast<std::int64_t>(content.size()));
            if (refuse || offset < 0 ||
                offset + static_cast<std::int64_t>(count) >
                    static_cast<std::int64_t>(content.size())) {
                return false;
            }
            std::copy_n(content.begin() + offset, count, out);
            return true;
        };
        return made;
    }
    box_layout layout() { return read_box_layout(source()); }
};

void put_big_endian(bytes& out, std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A box with a 32-bit size around `payload`.
bytes box(const char* type, const bytes& payload = {}) {
    bytes out;
    put_big_endian(out, payload.size() + 8, 4);
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const bytes k_payload(24, 0x11);
const bytes k_header = box("ftyp", bytes{'i', 's', 'o', 'm', 0, 0, 2, 0});
const bytes k_full_index = box("moov", box("mvhd", k_payload) + box("trak", box("tkhd")));
const bytes k_fragment_index =
    box("moov", box("mvhd", k_payload) + box("trak") + box("mvex", box("trex", k_payload)));
const bytes k_fragment = box("moof", box("mfhd", k_payload)) + box("mdat", k_payload);

TEST(box_layout, tells_an_ordinary_file_from_a_fragmented_one) {
    memory_file ordinary{k_header + box("mdat", k_payload) + k_full_index + box("free")};
    box_layout layout = ordinary.layout();
    EXPECT_TRUE(layout.read);
    EXPECT_EQ(layout.kind, e_layout_ordinary);
    EXPECT_EQ(layout.fragments, 0);
    EXPECT_EQ(layout.boxes, 4);
    EXPECT_EQ(layout.boxes_end, static_cast<std::int64_t>(ordinary.content.size()));
    EXPECT_EQ(layout.problem, "");

    memory_file fragmented{k_header + k_fragment_index + k_fragment + k_fragment + k_fragment};
    layout = fragmented.layout();
    EXPECT_EQ(layout.kind, e_layout_fragmented);
    EXPECT_EQ(layout.fragments, 3);
    EXPECT_EQ(layout.boxes, 8);
    EXPECT_EQ(layout.problem, "");

    // An index for fragments that never came is still a fragmented file.
    memory_file no_fragment{k_header + k_fragment_index};
    EXPECT_EQ(no_fragment.layout().kind, e_layout_fragmented);
    EXPECT_EQ(no_fragment.layout().fragments, 0);

    memory_file no_index{k_header + box("mdat", k_payload)};
    EXPECT_EQ(no_index.layout().kind, e_layout_no_index);
    memory_file empty;
    EXPECT_EQ(empty.layout().kind, e_layout_no_index);
    EXPECT_EQ(empty.layout().problem, "");
}

TEST(box_layout, reads_64_bit_sizes_and_a_last_box_to_the_end_of_the_file) {
    bytes large;
    put_big_endian(large, 1, 4);
    large.insert(large.end(), {'m', 'd', 'a', 't'});
    put_big_endian(large, 16 + k_payload.size(), 8);
    large = large + k_payload;
    bytes open_ended;
    put_big_endian(open_ended, 0, 4);
    open_ended = open_ended + bytes{'m', 'd', 'a', 't'} + k_payload;
    memory_file file{k_header + k_full_index + large + open_ended};
    const box_layout layout = file.layout();
    EXPECT_EQ(layout.kind, e_layout_ordinary);
    EXPECT_EQ(layout.boxes, 4);
    EXPECT_EQ(layout.problem, "");
}

// Every cut of a fragmented file: the whole boxes before the cut count, the
// cut is named, and nothing is read beyond the end.
TEST(box_layout, a_file_cut_short_anywhere_gives_the_boxes_before_the_cut) {
    const bytes whole = k_header + k_fragment_index + k_fragment + k_fragment;
    std::vector<std::size_t> ends;  // where each top-level box ends
    for (std::size_t at = 0; at < whole.size();) {
        at += (std::size_t(whole[at + 2]) << 8) | whole[at + 3];
        ends.push_back(at);
    }
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        SCOPED_TRACE("cut at " + std::to_string(size));
        memory_file cut{bytes(whole.begin(), whole.begin() + size)};
        const box_layout layout = cut.layout();
        std::int64_t whole_boxes = 0;
        std::size_t boxes_end = 0;
        for (std::size_t end : ends) {
            if (end > size) break;
            ++whole_boxes;
            boxes_end = end;
        }
        EXPECT_EQ(layout.boxes, whole_boxes);
        EXPECT_EQ(layout.boxes_end, static_cast<std::int64_t>(boxes_end));
        EXPECT_EQ(layout.fragments,
                  (whole_boxes - 1) / 2);  // moof is every other box from the third
        EXPECT_EQ(layout.problem.empty(), boxes_end == size) << layout.problem;
        EXPECT_EQ(layout.kind, whole_boxes >= 2 ? e_layout_fragmented : e_layout_no_index);
    }
}

TEST(box_layout, garbage_is_named_and_stops_the_walk) {
    const struct {
        const char* label;
        bytes after;
        const char* problem;
    } cases[] = {
        {"size below its header", bytes{0, 0, 0, 4, 'f', 'r', 'e', 'e'}, "less than its header"},
        {"32-bit size past the end", bytes{0xFF, 0xFF, 0xFF, 0xFF, 'm', 'd', 'a', 't'},
         "claims 4294967295 bytes"},
        {"64-bit size past the end",
         bytes{0, 0, 0, 1, 'm', 'd', 'a', 't', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0},
         "claims 18446744073709551600 bytes"},
        {"64-bit size below its header",
         bytes{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 9}, "less than its header"},
        {"64-bit header cut short", bytes{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0}, "in its header"},
        {"no box type", bytes{0, 0, 0, 8, 0x00, 0x9C, 'x', 'y'}, "name no box type"},
        {"a few bytes", bytes{1, 2, 3}, "too few for a box"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        memory_file file{k_header + k_fragment_index + k_fragment + each.after};
        const box_layout layout = file.layout();
        EXPECT_NE(layout.problem.find(each.problem), std::string::npos) << layout.problem;
        EXPECT_EQ(layout.boxes, 4);
        EXPECT_EQ(layout.fragments, 1);
        EXPECT_EQ(layout.kind, e_layout_fragmented);
    }
    // Damage inside the index: the file's boxes still count, the damage is
    // named, and the index is taken as a full one.
    memory_file damaged{
        k_header + box("moov", box("mvhd") + bytes{0, 0, 0, 99, 'b', 'a', 'd', '!'}) + box("mdat")};
    const box_layout layout = damaged.layout();
    EXPECT_EQ(layout.boxes, 3);
    EXPECT_EQ(layout.kind, e_layout_ordinary);
    EXPECT_NE(layout.problem.find("in the index at byte 16"), std::string::npos) << layout.problem;

    memory_file refused{k_header + k_full_index};
    refused.refuse = true;
    EXPECT_EQ(refused.layout().problem, "cannot read at byte 0");
    EXPECT_EQ(refused.layout().kind, e_layout_no_index);
}

TEST(box_layout, random_bytes_end_the_walk_in_a_few_reads) {
    std::uint32_t noise = 2024;
    for (int round = 0; round < 200; ++round) {
        memory_file file;
        file.content.resize(64 + round * 13);
        for (std::uint8_t& byte : file.content) {
            noise = noise * 1103515245u + 12345u;
            byte = static_cast<std::uint8_t>(noise >> 16);
        }
        const box_layout layout = file.layout();
        EXPECT_LE(layout.boxes_end, static_cast<std::int64_t>(file.content.size()));
        EXPECT_LE(file.reads, 2 * (layout.boxes + 1));
    }
}

// The recorder's own files: a clean close leaves an ordinary MP4, the file
// before the close is fragmented.
class box_layout_of_recordings : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_closed = record("layout_closed.m4v", "layout_open.m4v");
        s_open = (scratch() / "layout_open.m4v").string();
    }
    static memory_file file(const std::string& name) {
        const std::vector<char> content = bytes_of(name);
        return memory_file{bytes(content.begin(), content.end())};
    }
    static inline std::string s_closed;
    static inline std::string s_open;
};

TEST_F(box_layout_of_recordings, closed_is_ordinary_and_unclosed_is_fragmented) {
    memory_file closed = file(s_closed);
    const box_layout ordinary = closed.layout();
    EXPECT_EQ(ordinary.kind, e_layout_ordinary);
    EXPECT_EQ(ordinary.fragments, 0);
    EXPECT_EQ(ordinary.problem, "");
    EXPECT_EQ(ordinary.boxes_end, static_cast<std::int64_t>(closed.content.size()));

    memory_file open = file(s_open);
    const box_layout fragmented = open.layout();
    EXPECT_EQ(fragmented.kind, e_layout_fragmented);
    // Two seconds of video in fragments of about one.
    EXPECT_GE(fragmented.fragments, 1);
    EXPECT_LE(fragmented.fragments, 3);
    EXPECT_EQ(fragmented.problem, "");

    // Cut anywhere, the fragments before the cut remain.
    for (std::size_t size = 0; size < open.content.size(); size += 997) {
        memory_file cut{bytes(open.content.begin(), open.content.begin() + size)};
        const box_layout layout = cut.layout();
        EXPECT_LE(layout.fragments, fragmented.fragments);
        EXPECT_LE(layout.boxes_end, static_cast<std::int64_t>(size));
    }
}

TEST_F(box_layout_of_recordings, the_probe_tells_the_kind) {
    if (av_find_input_format("mov") == nullptr) GTEST_SKIP() << "this FFmpeg cannot read MP4";
    media_facts facts;
    std::string error;
    ASSERT_TRUE(probe_media(s_closed, probe_options{}, facts, error)) << error;
    EXPECT_TRUE(facts.layout.read);
    EXPECT_EQ(facts.layout.kind, e_layout_ordinary);
    const std::int64_t fragments = file(s_open).layout().fragments;
    ASSERT_TRUE(probe_media(s_open, probe_options{}, facts, error)) << error;
    EXPECT_EQ(facts.layout.kind, e_layout_fragmented);
    EXPECT_EQ(facts.layout.fragments, fragments);
}

}  // namespace
