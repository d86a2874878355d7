// The file after the muxer is done with it: the finish turns the fragmented
// file into an ordinary one, both after a clean end and, when the room for
// the index is held, after a write failed or media stopped; otherwise the
// torn last fragment is only cut off. Only file I/O lives here, through the
// recording's storage; what is written comes from index.h.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "fault.h"
#include "index.h"
#include "seams.h"
#include "storage.h"

namespace Selmet::Palvex::detail {

// Everything the finisher needs to know about a recording.
struct finish_record {
    bool ended = false;  // the muxer wrote its trailer: the file is whole
    // File positions at which whole fragments had been handed over, oldest first.
    std::vector<std::int64_t> complete_ends;
    sound_timing sound;
    // Samples handed to the muxer per track, in the order of the tracks;
    // checked against the file after a clean end.
    std::vector<std::int64_t> samples_written;
};

// What the finish without room gave up.
struct given_up {
    std::size_t fragments = 0;  // complete in the file
    std::size_t kept = 0;       // of them, in the finished file
    double seconds = 0;         // of media given up
};

// One step of the finish: bytes put at a position, or (with no bytes) the
// file cut to `position`. After a barrier step the file is synced before
// anything else is written. A step that fails part way leaves bytes that a
// player may trip on where cut_on_failure is set: the file is then cut to it.
struct patch {
    std::int64_t position = 0;
    byte_vector bytes;
    bool barrier = false;
    std::int64_t cut_on_failure = -1;
};

// The steps that turn a fragmented file into an ordinary one, in an order
// that leaves a playable file after each of them. The media ends at
// `media_end`; bytes after it up to `file_size` are a torn fragment, which
// first becomes free space and is cut off once the index is in. The full
// index goes in at `media_end` as a free box and comes alive behind the
// first index, which players take while it is there; then one write turns
// the first index and all the fragments into one media data box; last the
// brands. Empty when the layout is not one the muxer writes.
std::vector<patch> plan_finish(const std::vector<top_box>& layout, std::int64_t media_end,
                               std::int64_t file_size, byte_vector full_index);

// Where the torn tail after the last complete fragment starts, or -1 when
// there is none that a free box header can cover.
std::int64_t torn_tail(std::int64_t file_size, const std::vector<std::int64_t>& complete_ends);

// The last complete end that the file still holds, or -1.
std::int64_t last_complete_end(std::int64_t file_size,
                               const std::vector<std::int64_t>& complete_ends);

// Turns the fragmented file, up to `media_end` (negative: all of it), into
// an ordinary one. On a fault the file still plays, as the fragmented one it
// was up to `media_end`, or as far as the finish got. `changed` (where
// given) tells whether the finish wrote anything: a file without fragments,
// or one that cannot be read, it leaves as it is.
fault finish_file(storage& file, const finish_record& record, std::int64_t media_end = -1,
                  bool* changed = nullptr, const seams& seams = {});

// The most of `fragments` fragments that can be kept, from the first on,
// such that the room from their end to the file's end holds their index;
// 0 when not even the first can. index_size(kept) never grows and room(kept)
// never shrinks as fewer are kept; the index is sized a few times only,
// since building it costs a pass over every sample.
std::size_t most_fragments_kept(std::size_t fragments,
                                const std::function<std::int64_t(std::size_t)>& index_size,
                                const std::function<std::int64_t(std::size_t)>& room);

// Finishes a file for which no room was kept, up to `media_end`: its
// fewest trailing whole fragments whose bytes (with whatever follows them)
// hold the full index of the rest are given up. The header first tells the
// shorter length (synced), then the finish goes as finish_file's, with the
// index in place of the fragments given up, where a file that is not copied
// on write needs no new room for it. `out` tells what was given up. A fault
// when the index of even the first fragment does not fit, or a write
// fails: the file then still plays, as far as the finish got, and its header
// never tells more than it holds.
fault finish_giving_up(storage& file, const finish_record& record, std::int64_t media_end,
                       given_up& out, bool* changed = nullptr, const seams& seams = {});

// After a failed write: the tail after the last complete fragment becomes a
// free box, so that the file ends with its last complete fragment.
fault cut_torn_fragment(storage& file, const finish_record& record);

}  // namespace Selmet::Palvex::detail
