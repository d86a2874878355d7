// The file after the muxer is done with it: a clean close turns the
// fragmented file into an ordinary one; after a failed write the torn last
// fragment is cut off. Only file I/O lives here; what is written comes from
// index.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fault.h"
#include "index.h"

namespace Selmet::Palvex::detail {

// Everything the finisher needs to know about a recording.
struct finish_record {
    std::string path;    // UTF-8
    bool ended = false;  // the muxer wrote its trailer: the file is whole
    // File positions at which whole fragments had been handed over, oldest first.
    std::vector<std::int64_t> complete_ends;
    sound_timing sound;
    // Samples handed to the muxer per track, in the order of the tracks.
    std::vector<std::int64_t> samples_written;
    // How many of the finishing writes to make; negative for all of them.
    // Only tests stop early, to look at the file after each write.
    std::int32_t write_limit = -1;
};

// One write of the finish: bytes put at a position. After a barrier write the
// file is synced before anything else is written.
struct patch {
    std::int64_t position = 0;
    byte_vector bytes;
    bool barrier = false;
};

// The writes that turn a fragmented file into an ordinary one, in an order
// that leaves a playable file after each of them: the full index goes in at
// the end as a free box and comes alive behind the first index, which players
// take while it is there; then one write turns the first index and all the
// fragments into one media data box; last the brands.
std::vector<patch> plan_finish(const std::vector<top_box>& layout, std::int64_t file_size,
                               const byte_vector& full_index);

// Where the torn tail after the last complete fragment starts, or -1 when
// there is none that a free box header can cover.
std::int64_t torn_tail(std::int64_t file_size, const std::vector<std::int64_t>& complete_ends);

// Turns the cleanly closed fragmented file into an ordinary one. On a fault
// the file still plays as the fragmented one it was.
fault finish_file(const finish_record& record);

// After a failed write: the tail after the last complete fragment becomes a
// free box, so that the file ends with its last complete fragment.
fault cut_torn_fragment(const finish_record& record);

}  // namespace Selmet::Palvex::detail
