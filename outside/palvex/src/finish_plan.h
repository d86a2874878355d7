// What finishes a file, worked out without touching it: the plan of writes
// that turns the fragmented file into an ordinary one (the recorder's README
// tells it as a table, under "The end of the file"), and how many fragments
// to keep where the index must take the place of the last ones. finish.cpp
// carries them out.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "boxes.h"

namespace Selmet::Palvex::detail {

// One step of a finish: bytes put at a position, or (with no bytes) the
// file cut to `position`. After a barrier step the file is synced before
// anything else is written. A step that fails part way leaves bytes that a
// player may trip on where cut_on_failure is set: the file is then cut to
// it. Once the step that makes the file ordinary is done (finishes), the
// file counts as finished.
struct patch {
    std::int64_t position = 0;
    byte_vector bytes;
    bool barrier = false;
    std::int64_t cut_on_failure = -1;
    bool finishes = false;
};

// The steps that finish a file whose top-level boxes are `layout` (those
// before the media's end), whose media ends at `media_end` and which is
// `file_size` bytes long, with `full_index` at the media's end. Empty when
// the layout is not one the muxer writes.
std::vector<patch> plan_finish(const std::vector<top_box>& layout, std::int64_t media_end,
                               std::int64_t file_size, byte_vector full_index);

// The most of `fragments` fragments that can be kept, from the first on,
// such that the room from their end holds their index; 0 when not even the
// first can. index_size(kept) never grows and room(kept) never shrinks as
// fewer are kept; the index is sized a few times only, since building it
// costs a pass over every sample.
std::size_t most_fragments_kept(std::size_t fragments,
                                const std::function<std::int64_t(std::size_t)>& index_size,
                                const std::function<std::int64_t(std::size_t)>& room);

}  // namespace Selmet::Palvex::detail
