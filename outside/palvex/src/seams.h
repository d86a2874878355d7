// The seams of the recorder: the parts of a recording that its tests and
// benchmarks turn off, stop early or set, to compare, to look at the file
// between two steps, or to be another machine. They are all here. The public writer never touches
// them: it always takes these defaults.
#pragma once

#include <cstdint>

namespace Selmet::Palvex::detail {

struct seams {
    // Room for the full index allocated ahead of the media.
    bool keep_room = true;
    // The header tells how long the complete fragments last.
    bool keep_length = true;
    // A fragment's moof is written as free until the fragment is synced.
    bool hide_fragments = true;
    // How many writes and cuts the end of the file makes before it stops,
    // as a crash there would; negative for all of them.
    std::int32_t finish_writes = -1;
    // The processors the video encoder counts its threads from; 0 for the
    // machine's own.
    std::int32_t cores = 0;
};

}  // namespace Selmet::Palvex::detail
