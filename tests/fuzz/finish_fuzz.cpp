// The end of a file over any file contents, through the same storage
// interface the writer uses, here a file in memory. The first bytes choose
// what the writer would know: a clean end (the whole file is media), or
// media that ends at one of the file's top-level boxes with a torn tail
// after it; whether room is held; and a size limit.
//
// Properties: an end that says the file is finished leaves one ordinary
// file (top-level boxes that fill it exactly, one moov, no moof) that ends
// with its index where the media ended or before, and after a clean end
// with all of its media, exactly there; an end that says it left the file
// fragmented leaves a chain of whole boxes; an end that wrote nothing leaves
// the bytes as they were; no write passes the limit; and a header that told
// no more than the file's fragments before tells no more after.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "boxes.h"
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

// The first moov's length box (mvex/mehd): where its value lies in the
// payload and in how many bytes; false without one.
bool find_length(byte_span moov_payload, std::size_t& offset, std::size_t& width) {
    std::vector<box> top, inner;
    if (!split_boxes(moov_payload, top)) return false;
    const box* mvex = find_box(top, fourcc("mvex"));
    if (mvex == nullptr || !split_boxes(mvex->payload, inner)) return false;
    const box* mehd = find_box(inner, fourcc("mehd"));
    if (mehd == nullptr || mehd->payload.size() < 4 || mehd->payload[0] > 1) return false;
    width = mehd->payload[0] == 1 ? 8 : 4;
    if (mehd->payload.size() < 4 + width) return false;
    offset = std::size_t(mehd->payload.data() - moov_payload.data()) + 4;
    return true;
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
        const byte_span payload(bytes.data() + b.position + b.header,
                                std::size_t(b.size - b.header));
        if (b.type == fourcc("moov") && !have_movie) {
            if (read_movie(payload, m)) return;
            have_movie = true;
            std::size_t offset = 0, width = 0;
            if (find_length(payload, offset, width)) {
                byte_reader r(payload.subspan(offset, width));
                const std::uint64_t value = r.uint(width);
                told = value <= std::uint64_t(INT64_MAX) ? std::int64_t(value) : -1;
            }
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

// Where the first moov's length lies in the file, or -1.
std::int64_t length_field(const std::vector<std::uint8_t>& bytes) {
    const auto size = std::int64_t(bytes.size());
    for (std::int64_t at = 0; size - at >= 8;) {
        top_box b;
        const byte_span head(bytes.data() + at, std::size_t(std::min<std::int64_t>(16, size - at)));
        if (!read_top_box(head, at, size, b)) return -1;
        if (b.type == fourcc("moov")) {
            const byte_span payload(bytes.data() + b.position + b.header,
                                    std::size_t(b.size - b.header));
            std::size_t offset = 0, width = 0;
            if (!find_length(payload, offset, width) || width != 8) return -1;
            return b.position + b.header + std::int64_t(offset);
        }
        at += b.size;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t mode = data[0];
    const std::uint8_t pick = data[1];
    palvex_test::memory_file file;
    file.bytes.assign(data + 2, data + size);
    const std::vector<std::uint8_t> before = file.bytes;
    const auto file_size = std::int64_t(before.size());

    // Ends of top-level boxes: where the media may end.
    std::vector<std::int64_t> ends;
    for (std::int64_t at = 0; file_size - at >= 8;) {
        top_box b;
        const byte_span head(before.data() + at,
                             std::size_t(std::min<std::int64_t>(16, file_size - at)));
        if (!read_top_box(head, at, file_size, b)) break;
        at += b.size;
        ends.push_back(at);
    }
    finish_record record;
    record.sound = sound_timing{1024 * (mode >> 4 & 1), 1024, 48000, 0};
    record.length_field = length_field(before);
    record.room_held = (mode & 0x40) != 0;
    // A size limit a little past the file (bit 0x80), by the pick byte.
    if (mode & 0x80) file.limit = file_size + pick * 64;

    if (mode % 2 == 0) {
        // A clean end: the whole file is media.
        if (ends.empty()) return 0;
        record.ended = true;
        record.media_end = ends.back();
        const ending e = end_file(file, record);
        expect(file.writes_past_limit == 0, "a write passed the size limit");
        if (e.changes == 0) {
            expect(file.bytes == before, "an end that wrote nothing changed the file");
            return 0;
        }
        if (e.outcome != ending::e_finished) return 0;
        expect_finished(file.bytes, record.media_end);
        std::vector<top_box> boxes;
        walk(file.bytes, boxes);
        expect(e.kept < e.fragments || boxes.back().position == record.media_end,
               "the full index of all the media is not where the media ended");
        return 0;
    }
    // Media that ends at one of the top-level boxes, a torn tail after it.
    if (ends.empty()) return 0;
    record.media_end = ends[pick % ends.size()];
    std::int64_t told_before = 0, held_before = 0;
    lengths(std::vector<std::uint8_t>(before.begin(), before.begin() + record.media_end),
            told_before, held_before);
    const ending e = end_file(file, record);
    expect(file.writes_past_limit == 0, "a write passed the size limit");
    expect(e.kept <= e.fragments, "more fragments kept than there were");
    if (e.changes == 0) {
        expect(file.bytes == before, "an end that wrote nothing changed the file");
        return 0;
    }
    if (told_before <= held_before) {
        std::int64_t told = 0, held = 0;
        lengths(file.bytes, told, held);
        expect(told <= held, "the header tells more than the fragments hold");
    }
    std::vector<top_box> boxes;
    if (e.outcome == ending::e_finished) {
        expect_finished(file.bytes, record.media_end);
    } else if (e.outcome == ending::e_fragmented && e.fragments > 0) {
        expect(walk(file.bytes, boxes), "a file left fragmented is not a chain of whole boxes");
    }
    return 0;
}
