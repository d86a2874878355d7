#include "media/recording_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "recording.h"
#include "synthetic_recording.h"

namespace {

using namespace Harnvik::Report;
using namespace Harnvik::Report::test;

constexpr std::int64_t k_media = 1000;  // bytes of each synthetic fragment's media

// A file in memory as the scan sees it at one moment.
byte_source source_of(const bytes& file) {
    byte_source source;
    source.size = static_cast<std::int64_t>(file.size());
    source.read = [&file](std::int64_t offset, std::uint8_t* out, std::size_t count) {
        if (offset < 0 ||
            offset + static_cast<std::int64_t>(count) > static_cast<std::int64_t>(file.size())) {
            return false;
        }
        std::copy_n(file.begin() + offset, count, out);
        return true;
    };
    return source;
}

// The synthetic recording with its fragments from `first` to `last` - 1
// appended, the header's length set to `length_ms`.
void append(bytes& file, std::int64_t first, std::int64_t last, std::uint64_t length_ms) {
    for (std::int64_t index = first; index < last; ++index) {
        file = file + synthetic_fragment_head(index, k_media) + bytes(k_media, 0);
    }
    bytes length;
    put_big_endian(length, length_ms, 8);
    std::copy(length.begin(), length.end(), file.begin() + synthetic_length_at());
}

struct scanned {
    recording_sample sample;
    std::vector<std::string> notes;
};

scanned look(recording_scan& scan, const bytes& file) {
    scanned seen;
    scan.look(source_of(file), seen.sample, seen.notes);
    return seen;
}

TEST(recording_scan, a_real_recording_read_as_it_grows_tells_what_its_header_tells) {
    record("grown.m4v", "grown_fragments.m4v");
    const std::vector<char> whole = bytes_of((scratch() / "grown_fragments.m4v").string());
    recording_scan scan;
    std::int64_t fragments = 0;
    for (std::size_t size = 0; size < whole.size();
         size += std::min<std::size_t>(997, whole.size() - size)) {
        const scanned seen = look(scan, bytes(whole.begin(), whole.begin() + size));
        EXPECT_GE(seen.sample.fragments, fragments) << size;
        fragments = seen.sample.fragments;
    }
    const bytes file(whole.begin(), whole.end());
    const scanned seen = look(scan, file);
    const box_layout layout = read_box_layout(source_of(file));
    ASSERT_EQ(seen.sample.state, e_recording_fragmented);
    ASSERT_TRUE(seen.sample.has_header_length && layout.has_header_length);
    EXPECT_EQ(seen.sample.fragments, layout.fragments);
    EXPECT_EQ(seen.sample.header_length_s, layout.header_length_s);
    // The header counts whole milliseconds up to where the fragments end.
    EXPECT_GE(seen.sample.fragments_s, seen.sample.header_length_s);
    EXPECT_LT(seen.sample.fragments_s, seen.sample.header_length_s + 0.001);
    EXPECT_GT(seen.sample.media_bytes, 0);

    const bytes finished = [] {
        const std::vector<char> closed = bytes_of((scratch() / "grown.m4v").string());
        return bytes(closed.begin(), closed.end());
    }();
    EXPECT_EQ(look(scan, finished).sample.state, e_recording_finished);
}

// What one look reads is what is new: the same for a short file and one a
// hundred times longer.
TEST(recording_scan, a_look_reads_the_new_fragments_whatever_the_files_length) {
    std::vector<std::int64_t> read;
    for (const std::int64_t fragments : {10, 1000}) {
        bytes file = synthetic_header();
        append(file, 0, fragments, static_cast<std::uint64_t>(fragments) * 1000);
        recording_scan scan;
        look(scan, file);
        append(file, fragments, fragments + 5, static_cast<std::uint64_t>(fragments + 5) * 1000);
        const scanned seen = look(scan, file);
        read.push_back(scan.bytes_read());
        EXPECT_EQ(seen.sample.fragments, fragments + 5);
        EXPECT_EQ(seen.sample.fragments_s, static_cast<double>(fragments + 5));
        EXPECT_EQ(seen.sample.header_length_s, static_cast<double>(fragments + 5));
        EXPECT_EQ(seen.sample.media_bytes, (fragments + 5) * k_media);
        EXPECT_TRUE(seen.notes.empty()) << seen.notes.front();
    }
    EXPECT_EQ(read[0], read[1]);
    EXPECT_LT(read[1], 5 * 400);  // five fragments' indexes and heads, the length, the index's type
}

TEST(recording_scan, says_what_is_wrong_and_what_the_file_became) {
    bytes three = synthetic_header();
    append(three, 0, 3, 3000);
    // The recorder's next fragment, its moof still typed free.
    const bytes pending = three + synthetic_fragment_head(3, k_media, "free") + bytes(k_media, 0);
    const struct {
        const char* label;
        bytes later;  // the file at the second look
        e_recording_state state;
        std::int64_t fragments;
        const char* note;  // "" for none
    } cases[] = {
        {"a header that tells more",
         [&] {
             bytes file = three;
             append(file, 3, 4, 6000);
             return file;
         }(),
         e_recording_fragmented, 4, "more than its complete fragments hold (4.000 s)"},
        {"a header that tells less than was complete",
         [&] {
             bytes file = three;
             append(file, 3, 4, 2000);
             return file;
         }(),
         e_recording_fragmented, 4, "less than the 3.000 s its complete fragments held"},
        {"a fragment not yet on the disk", pending, e_recording_fragmented, 3, ""},
        {"the file cut shorter", bytes(three.begin(), three.end() - k_media - 300),
         e_recording_fragmented, 1, "the recording was cut to"},
        {"the file finished",
         [&] {
             // The index after ftyp becomes the head of one mdat.
             bytes file = three;
             box_header file_type;
             std::string problem;
             read_box(source_of(file), 0, static_cast<std::int64_t>(file.size()), "", file_type,
                      problem);
             std::copy_n("mdat", 4, file.begin() + file_type.end() + 4);
             return file;
         }(),
         e_recording_finished, 3, ""},
        {"no MP4", bytes(200, 'x'), e_recording_not_mp4, 0, "no MP4 file"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        recording_scan scan;
        ASSERT_TRUE(look(scan, three).notes.empty());
        const scanned seen = look(scan, each.later);
        EXPECT_EQ(seen.sample.state, each.state);
        EXPECT_EQ(seen.sample.fragments, each.fragments);
        std::string notes;
        for (const std::string& note : seen.notes) notes += note + "\n";
        EXPECT_EQ(notes.empty(), *each.note == '\0') << notes;
        EXPECT_NE(notes.find(each.note), std::string::npos) << notes;
    }
    // Once its moof is typed so, the fragment counts.
    recording_scan scan;
    look(scan, pending);
    bytes alive = pending;
    std::copy_n("moof", 4, alive.begin() + static_cast<std::ptrdiff_t>(three.size()) + 4);
    EXPECT_EQ(look(scan, alive).sample.fragments, 4);
}

}  // namespace
