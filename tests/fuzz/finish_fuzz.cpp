// The finish and the torn-tail cut over any file contents, through the same
// storage interface the writer uses, here a file in memory. The first bytes
// choose what the writer would know: a clean end, or media that ends at one
// of the file's top-level boxes with a torn tail after it, and which ends of
// fragments it remembers as complete.
//
// Properties: a finish that reports success leaves one ordinary file (top
// level boxes that fill it exactly, one moov, no moof) that ends with its
// index right after the media; a finish that wrote nothing leaves the bytes
// as they were; a cut keeps the file's length and leaves a box chain that
// fills the file. The finish that gives up fragments for its index (bit
// 0x20 of the first byte) does the same, and whatever it does, a header
// that told no more than the file's fragments before tells no more after.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "finish.h"
#include "index.h"
#include "memory_file.h"

namespace {

using namespace Selmet::Palvex::detail;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

// The top-level boxes; false when one is cut short or the walk does not end
// exactly at the file's end.
bool walk(const std::vector<std::uint8_t>& bytes, std::vector<top_box>& out) {
    const auto size = std::int64_t(bytes.size());
    std::int64_t at = 0;
    while (size - at >= 8) {
        top_box b;
        const byte_span head(bytes.data() + at, std::size_t(std::min<std::int64_t>(16, size - at)));
        if (!read_top_box(head, at, size, b)) return false;
        out.push_back(b);
        at += b.size;
    }
    return at == size;
}

// What the first moov's length box tells, and how long the top-level
// fragments after it last, both in the movie's time scale; told is -1
// without a length box.
void lengths(const std::vector<std::uint8_t>& bytes, std::int64_t& told, std::int64_t& held) {
    told = -1;
    held = 0;
    movie m;
    bool have_movie = false;
    const auto size = std::int64_t(bytes.size());
    for (std::int64_t at = 0; size - at >= 8;) {
        top_box b;
        const byte_span head(bytes.data() + at, std::size_t(std::min<std::int64_t>(16, size - at)));
        if (!read_top_box(head, at, size, b)) break;
        const byte_span payload(bytes.data() + b.position + b.header, std::size_t(b.size - b.header));
        if (b.type == fourcc("moov") && !have_movie) {
            if (read_movie(payload, m)) return;
            have_movie = true;
            told = read_length(payload);
        } else if (b.type == fourcc("moof") && have_movie) {
            if (add_fragment(payload, b.position, size, m)) break;
        }
        at += b.size;
    }
    held = movie_length(m);
}

// A finished file: a chain of whole boxes, one moov at the end, where the
// media ended, and no fragment.
void expect_finished(const std::vector<std::uint8_t>& bytes, std::int64_t end) {
    std::vector<top_box> boxes;
    expect(walk(bytes, boxes), "a finished file is not a chain of whole boxes");
    std::int64_t moovs = 0;
    for (const top_box& b : boxes) {
        expect(b.type != fourcc("moof"), "a finished file still has a fragment");
        moovs += b.type == fourcc("moov");
    }
    expect(moovs == 1, "a finished file has other than one index");
    expect(boxes.back().type == fourcc("moov"), "the full index is not at the end");
    expect(boxes.back().position <= end, "the full index is not where the media ended");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t mode = data[0];
    const std::uint8_t pick = data[1];
    palvex_test::memory_file file;
    file.bytes.assign(data + 2, data + size);
    const std::vector<std::uint8_t> before = file.bytes;

    // Ends of top-level boxes: where media may end and fragments were complete.
    std::vector<std::int64_t> ends;
    {
        const auto file_size = std::int64_t(before.size());
        for (std::int64_t at = 0; file_size - at >= 8;) {
            top_box b;
            const byte_span head(before.data() + at,
                                 std::size_t(std::min<std::int64_t>(16, file_size - at)));
            if (!read_top_box(head, at, file_size, b)) break;
            at += b.size;
            ends.push_back(at);
        }
    }
    finish_record record;
    record.ended = true;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        if ((pick >> (i % 8)) & 1) record.complete_ends.push_back(ends[i]);
    }
    record.sound = sound_timing{1024 * (mode >> 4 & 1), 1024, 48000, 0};

    if (mode & 0x20) {
        const std::int64_t media_end =
            last_complete_end(std::int64_t(before.size()), record.complete_ends);
        if (media_end <= 0) return 0;
        std::int64_t told_before = 0, held_before = 0;
        lengths(before, told_before, held_before);
        given_up lost;
        bool changed = false;
        const fault f = finish_giving_up(file, record, media_end, lost, &changed);
        if (!changed) {
            expect(file.bytes == before, "a finish that wrote nothing changed the file");
            return 0;
        }
        expect(lost.kept <= lost.fragments, "more fragments kept than there were");
        if (told_before <= held_before) {
            std::int64_t told = 0, held = 0;
            lengths(file.bytes, told, held);
            expect(told <= held, "the header tells more than the fragments hold");
        }
        if (!f) expect_finished(file.bytes, media_end);
        return 0;
    }
    if (mode % 3 == 2) {
        // The cut after a failed write, without room for the index.
        expect(!cut_torn_fragment(file, record), "a cut of a file in memory failed");
        expect(file.bytes.size() == before.size(), "the cut changed the file's length");
        const std::int64_t tail = torn_tail(std::int64_t(before.size()), record.complete_ends);
        if (tail >= 0) {
            std::vector<top_box> boxes;
            const std::vector<std::uint8_t> from(file.bytes.begin() + tail, file.bytes.end());
            expect(walk(from, boxes) && boxes.size() == 1 && boxes[0].type == fourcc("free"),
                   "the torn tail is not one free box");
        }
        return 0;
    }
    // A clean end, or media that ends at the last complete end.
    const std::int64_t media_end =
        mode % 3 == 0 ? -1 : last_complete_end(std::int64_t(before.size()), record.complete_ends);
    if (mode % 3 == 1 && media_end <= 0) return 0;
    bool changed = false;
    const fault f = finish_file(file, record, media_end, &changed);
    if (!changed) {
        expect(file.bytes == before, "a finish that wrote nothing changed the file");
        return 0;
    }
    if (f) return 0;
    // Where the last whole box before the media's end ends: bytes after it
    // that are too few for a box are no media.
    const std::int64_t limit = media_end < 0 ? std::int64_t(before.size()) : media_end;
    std::int64_t end = 0;
    for (const std::int64_t e : ends) {
        if (e <= limit) end = e;
    }
    expect_finished(file.bytes, end);
    std::vector<top_box> boxes;
    walk(file.bytes, boxes);
    expect(boxes.back().position == end, "the full index is not where the media ended");
    return 0;
}
