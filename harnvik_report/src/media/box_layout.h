// How an MP4 file's boxes lie at its top level: an ordinary file with one
// full index, or a fragmented one and how many fragments it holds. The bytes
// come from outside, so no size in them is trusted: a file cut short or
// holding garbage gives its answer and the reason, and nothing is read
// outside the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/media_facts.h"

namespace Harnvik::Report {

// Where the bytes come from: `read` fills `count` bytes from `offset` on, or
// returns false when it cannot. It is asked only for bytes below `size`.
struct byte_source {
    std::int64_t size = 0;
    std::function<bool(std::int64_t offset, std::uint8_t* out, std::size_t count)> read;
};

// Walks the top-level boxes, and the children of each index (moov) to tell
// a fragmented one (with mvex) from a full one. Reads a few bytes per box.
box_layout read_box_layout(const byte_source& source);

// One box, as its header tells it.
struct box_header {
    std::int64_t offset = 0;
    std::int64_t size = 0;    // header included
    std::int64_t header = 0;  // 8, or 16 with a 64-bit size
    char type[5] = {};

    bool is(const char* name) const;
    std::int64_t end() const { return offset + size; }
};

enum e_box_read : std::uint8_t {
    e_box_whole,      // `found` is a whole box
    e_box_none_left,  // `offset` is at `end`
    e_box_cut_short,  // the box, or its header, goes on beyond `end`: `problem` says so
    e_box_problem,    // no box, or unreadable: `problem` says which
};

// Reads the header of the box at `offset` among boxes that end at `end`
// (the end of the file or of their parent, named by `within`).
e_box_read read_box(const byte_source& source, std::int64_t offset, std::int64_t end,
                    const std::string& within, box_header& found, std::string& problem);

// Where a fragmented file's index keeps the length of its fragments: the
// field of its movie extends header (moov/mvex/mehd), 4 or 8 bytes, and the
// time scale of its movie header (mvhd) that the length counts in.
struct header_length_place {
    std::int64_t offset = 0;
    std::int64_t size = 0;
    std::uint64_t time_scale = 0;
};

// Whether the index `index` (a moov) is that of a fragmented file, holding
// the fragments' header (mvex); `problem` names damage in its child list.
// With `length`, where that header keeps the length (its size 0 when it
// keeps none, `note` saying why).
bool has_fragment_header(const byte_source& source, const box_header& index,
                         header_length_place* length, std::string& note, std::string& problem);

// The length at `place`, in seconds; false when it cannot be read.
bool read_header_length(const byte_source& source, const header_length_place& place,
                        double& seconds);

}  // namespace Harnvik::Report
