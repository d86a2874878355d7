#include "media/box_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "media/media_probe.h"
#include "recording.h"
#include "synthetic_recording.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

using namespace Harnvik::Report;
using namespace Harnvik::Report::test;

// Reads from memory, and fails the test when asked for a byte outside it.
struct memory_file {
    bytes content;
    bool refuse = false;  // every read fails, as a disk error would
    // Reads that reach this byte fail, as a bad sector would; -1: none.
    std::int64_t unreadable = -1;
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
                (unreadable >= 0 && offset + static_cast<std::int64_t>(count) > unreadable) ||
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

// The movie header (mvhd): version and flags, the creation and modification
// times (32 or 64 bits by its version), the time scale, a duration and the
// rest of its fields.
bytes movie_header(std::uint8_t version, std::uint32_t time_scale) {
    const int time = version == 1 ? 8 : 4;
    bytes payload{version, 0, 0, 0};
    put_big_endian(payload, 0x01010101, time);
    put_big_endian(payload, 0x02020202, time);
    put_big_endian(payload, time_scale, 4);
    put_big_endian(payload, 0x03030303, time);
    return box("mvhd", payload + bytes(80, 0));
}

// The movie extends header (mehd): version and flags, then the length in the
// movie's time scale, 32 bits in version 0 and 64 in version 1.
bytes length_box(std::uint8_t version, std::uint64_t ticks) {
    bytes payload{version, 0, 0, 0};
    put_big_endian(payload, ticks, version == 1 ? 8 : 4);
    return box("mehd", payload);
}

const bytes k_tracks = box("trex", k_payload) + box("trex", k_payload);

// A fragmented file whose index holds `index` (the movie header and the
// fragments' header, mvex, among others), with two fragments.
bytes fragmented_with(const bytes& index) {
    return k_header + box("moov", index) + k_fragment + k_fragment;
}

bytes fragmented_with(const bytes& movie, const bytes& fragments_header) {
    return fragmented_with(movie + box("trak") + box("mvex", fragments_header));
}

// The layout of a file that fragmented_with() made: its two fragments
// count, and its boxes reach its end, whatever its index holds.
box_layout layout_of_fragmented(const bytes& content) {
    memory_file file{content};
    const box_layout layout = file.layout();
    EXPECT_EQ(layout.kind, e_layout_fragmented);
    EXPECT_EQ(layout.fragments, 2);
    EXPECT_EQ(layout.boxes_end, static_cast<std::int64_t>(content.size()));
    return layout;
}

TEST(box_layout, reads_the_length_the_fragments_header_tells) {
    const struct {
        const char* label;
        bytes file;
        double length_s;
    } cases[] = {
        {"mvhd 0, mehd 1, as the recorder writes them",
         fragmented_with(movie_header(0, 1000), length_box(1, 6080) + k_tracks), 6.080},
        {"mvhd 1, mehd 0", fragmented_with(movie_header(1, 1000), length_box(0, 6080) + k_tracks),
         6.080},
        {"a 64-bit length beyond 32 bits",
         fragmented_with(movie_header(0, 90000), length_box(1, 0x2'0000'0000) + k_tracks),
         8589934592.0 / 90000},
        {"the largest 32-bit length",
         fragmented_with(movie_header(1, 1000), length_box(0, 0xFFFF'FFFF) + k_tracks),
         4294967.295},
        {"no media yet", fragmented_with(movie_header(0, 1000), length_box(1, 0) + k_tracks), 0.0},
        // A free box ahead of mvex, as the recorder puts there to keep the
        // length inside one sector, and mehd after the track defaults.
        {"free ahead of mvex, mehd last",
         fragmented_with(movie_header(0, 600) + box("trak") + box("free") +
                         box("mvex", k_tracks + length_box(1, 3000))),
         5.0},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        const box_layout layout = layout_of_fragmented(each.file);
        EXPECT_EQ(layout.problem, "");
        EXPECT_TRUE(layout.has_header_length) << layout.header_length_note;
        EXPECT_DOUBLE_EQ(layout.header_length_s, each.length_s);
        EXPECT_EQ(layout.header_length_note, "");
    }

    // A later index with a length of its own: the first one tells.
    memory_file two_indexes{fragmented_with(movie_header(0, 1000), length_box(1, 2000) + k_tracks) +
                            box("moov", movie_header(0, 1000) + box("mvex", length_box(1, 9000)))};
    EXPECT_DOUBLE_EQ(two_indexes.layout().header_length_s, 2.0);

    // An ordinary file tells no length and needs none.
    memory_file ordinary{k_header + box("mdat", k_payload) +
                         box("moov", movie_header(0, 1000) + box("trak"))};
    EXPECT_FALSE(ordinary.layout().has_header_length);
    EXPECT_EQ(ordinary.layout().header_length_note, "");
}

// Whatever is wrong with the length or its time scale: no length, a note that
// says why, and the boxes around it count as before.
TEST(box_layout, a_length_it_cannot_trust_is_none_and_says_why) {
    const bytes mvhd = movie_header(0, 1000);
    const bytes mehd = length_box(1, 6080);
    const struct {
        const char* label;
        bytes file;
        const char* note;
        const char* problem;
    } cases[] = {
        {"no mehd, as an older recorder wrote", fragmented_with(mvhd, k_tracks),
         "no movie extends header (mehd) in the fragments' header (mvex) at byte ", ""},
        {"a time scale of 0", fragmented_with(movie_header(0, 0), mehd + k_tracks),
         "the movie header (mvhd) at byte 24 has a time scale of 0", ""},
        {"mehd version 2", fragmented_with(mvhd, box("mehd", bytes(12, 0x02)) + k_tracks),
         "the movie extends header (mehd) at byte 148 has version 2, which has no known form", ""},
        {"mvhd version 2", fragmented_with(box("mvhd", bytes(100, 0x02)), mehd + k_tracks),
         "the movie header (mvhd) at byte 24 has version 2, which has no known form", ""},
        {"no mvhd", fragmented_with(box("free"), mehd + k_tracks),
         "no movie header (mvhd) before the fragments' header (mvex)", ""},
        {"mvhd after mvex",
         fragmented_with(box("trak") + box("mvex", mehd + k_tracks) + movie_header(0, 1000)),
         "no movie header (mvhd) before the fragments' header (mvex)", ""},
        {"mvex damaged before mehd",
         fragmented_with(mvhd, bytes{0, 0, 0, 99, 't', 'r', 'e', 'x'} + mehd),
         "the fragments' header (mvex) at byte ", "in the fragments' header (mvex) at byte "},
        {"fragments without an index", k_header + k_fragment + k_fragment,
         "no index holds the fragments' header (mvex)", ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        const box_layout layout = layout_of_fragmented(each.file);
        EXPECT_FALSE(layout.has_header_length);
        EXPECT_NE(layout.header_length_note.find(each.note), std::string::npos)
            << layout.header_length_note;
        if (*each.problem == '\0') {
            EXPECT_EQ(layout.problem, "");
        } else {
            EXPECT_NE(layout.problem.find(each.problem), std::string::npos) << layout.problem;
        }
    }
    // A bad sector under the length's field: the read fails, and says so.
    const bytes whole = fragmented_with(mvhd, mehd + k_tracks);
    const auto mehd_at = static_cast<std::int64_t>(
        std::search(whole.begin(), whole.end(), mehd.begin(), mehd.end()) - whole.begin());
    for (const std::int64_t bad : {mehd_at + 8, mehd_at + 12, mehd_at + 19}) {
        SCOPED_TRACE("unreadable from byte " + std::to_string(bad));
        memory_file file{whole};
        file.unreadable = bad;
        const box_layout layout = file.layout();
        EXPECT_FALSE(layout.has_header_length);
        EXPECT_NE(layout.problem.find("cannot read at byte"), std::string::npos) << layout.problem;
        EXPECT_EQ(layout.header_length_note, layout.problem);
    }
}

// A mehd or an mvhd shorter than its version needs, at every length: no
// length, and nothing read outside the box's bytes, which the file around
// it still holds.
TEST(box_layout, a_length_or_time_scale_cut_short_at_every_byte_is_none) {
    for (const std::uint8_t version : {0, 1}) {
        const bytes mehd = length_box(version, 6080);
        for (std::size_t keep = 0; keep < mehd.size() - 8; ++keep) {
            SCOPED_TRACE("mehd version " + std::to_string(version) + ", " + std::to_string(keep) +
                         " bytes");
            const bytes cut = box("mehd", bytes(mehd.begin() + 8, mehd.begin() + 8 + keep));
            const box_layout layout =
                layout_of_fragmented(fragmented_with(movie_header(0, 1000), cut + k_tracks));
            EXPECT_FALSE(layout.has_header_length);
            EXPECT_NE(layout.header_length_note.find(keep < 4 ? "too few for its version"
                                                              : "is cut short: version"),
                      std::string::npos)
                << layout.header_length_note;
            EXPECT_EQ(layout.problem, "");
        }
        const bytes mvhd = movie_header(version, 1000);
        const std::size_t time_scale_end = version == 1 ? 24 : 16;
        for (std::size_t keep = 0; keep < mvhd.size() - 8; ++keep) {
            SCOPED_TRACE("mvhd version " + std::to_string(version) + ", " + std::to_string(keep) +
                         " bytes");
            const bytes cut = box("mvhd", bytes(mvhd.begin() + 8, mvhd.begin() + 8 + keep));
            const box_layout layout =
                layout_of_fragmented(fragmented_with(cut, length_box(1, 6080) + k_tracks));
            EXPECT_EQ(layout.has_header_length, keep >= time_scale_end)
                << layout.header_length_note;
            if (layout.has_header_length) {
                EXPECT_DOUBLE_EQ(layout.header_length_s, 6.080);
            }
            EXPECT_EQ(layout.problem, "");
        }
    }
    // The file itself cut at every byte: a length only once its index is whole.
    const bytes whole = fragmented_with(movie_header(1, 1000), length_box(1, 6080) + k_tracks);
    const std::size_t index_end = k_header.size() + (std::size_t(whole[k_header.size() + 2]) << 8 |
                                                     whole[k_header.size() + 3]);
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        SCOPED_TRACE("cut at " + std::to_string(size));
        memory_file cut{bytes(whole.begin(), whole.begin() + size)};
        const box_layout layout = cut.layout();
        EXPECT_EQ(layout.has_header_length, size >= index_end);
        if (layout.has_header_length) {
            EXPECT_DOUBLE_EQ(layout.header_length_s, 6.080);
        }
    }
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

// The kind, and the recorder's length of its complete fragments, which is
// what the demuxer finds in them.
TEST_F(box_layout_of_recordings, the_probe_tells_the_kind_and_weighs_the_headers_length) {
    if (av_find_input_format("mov") == nullptr) GTEST_SKIP() << "this FFmpeg cannot read MP4";
    media_facts facts;
    std::string error;
    ASSERT_TRUE(probe_media(s_closed, probe_options{}, facts, error)) << error;
    EXPECT_TRUE(facts.layout.read);
    EXPECT_EQ(facts.layout.kind, e_layout_ordinary);
    EXPECT_FALSE(facts.layout.has_header_length);
    EXPECT_EQ(header_fit(facts), e_header_fit_none);
    const std::int64_t fragments = file(s_open).layout().fragments;
    ASSERT_TRUE(probe_media(s_open, probe_options{}, facts, error)) << error;
    EXPECT_EQ(facts.layout.kind, e_layout_fragmented);
    EXPECT_EQ(facts.layout.fragments, fragments);
    ASSERT_TRUE(facts.layout.has_header_length) << facts.layout.header_length_note;
    EXPECT_GT(facts.layout.header_length_s, 0.5);
    EXPECT_NEAR(facts.layout.header_length_s, facts.duration_s, k_header_tolerance_s);
    EXPECT_EQ(header_fit(facts), e_header_fit_agrees);
}

}  // namespace
