// How an MP4 file's boxes lie at its top level: an ordinary file with one
// full index, or a fragmented one and how many fragments it holds. The bytes
// come from outside, so no size in them is trusted: a file cut short or
// holding garbage gives its answer and the reason, and nothing is read
// outside the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

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

}  // namespace Harnvik::Report
