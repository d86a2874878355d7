// The file after the muxer is done with it. One end policy serves every
// close (a clean end, a full disk, a size limit, a write that failed before
// or inside close()): it turns the fragmented file into an ordinary MP4 by
// the soundest way that works, and says what it did. Only file I/O lives
// here, through the recording's storage; what is written comes from
// index.h, and where the media ends from the fragmented file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fault.h"
#include "index.h"
#include "seams.h"
#include "storage.h"

namespace Selmet::Palvex::detail {

// Everything the finish needs to know about a recording.
struct finish_record {
    // The muxer wrote its trailer: every sample it was given is in the file.
    bool ended = false;
    // Where the complete media ends (bytes after it are a torn fragment);
    // -1: the whole file is media, as for a file opened anew.
    std::int64_t media_end = -1;
    // Where the header's 64-bit length lies; -1 without one.
    std::int64_t length_field = -1;
    // Room for the full index is allocated beyond the media.
    bool room_held = false;
    sound_timing sound;
    // Samples handed to the muxer per track, in the order of the tracks;
    // checked against the file after a clean end.
    std::vector<std::int64_t> samples_written;
};

// What the end policy did with the file.
struct ending {
    enum e_outcome {
        e_empty,       // no complete fragment: nothing to finish
        e_finished,    // an ordinary MP4 of the first `kept` fragments
        e_fragmented,  // left fragmented with the first `kept` fragments
    };
    e_outcome outcome = e_empty;
    std::size_t fragments = 0;    // complete in the file when it ended
    std::size_t kept = 0;         // of them, in the file as it is left
    double seconds_kept = 0;      // of media
    double seconds_given_up = 0;  // of media in the fragments not kept
    // The steps tried that failed, each with its reason, in order.
    std::vector<std::string> failed;
    std::int32_t changes = 0;  // writes and cuts made

    // Finished with every complete fragment, nothing failing on the way.
    bool whole() const { return outcome != e_fragmented && kept == fragments && failed.empty(); }
};

// What the policy did, for the writer's error text: "the file is finished,
// with all of its media", or the failed steps and what came of them.
std::string describe(const ending& e);

// Ends the file. In order, each step only where the one before failed:
// 1. where room is held beyond the media, or nothing follows it: the full
//    index goes after the media (finish_file);
// 2. the fewest last fragments whose bytes (and a torn fragment's) hold
//    the index of the rest are given up: the header first tells the
//    shorter length, then the index is written over them;
// 3. where a write in place failed (a full disk that copies on write): the
//    file is cut back to media the header tells no more than, which frees
//    room, and the index appended: of every fragment, or of the fewest
//    given up;
// 4. left fragmented, cut back to the media its header tells.
// After every single write the file plays, and its header never tells
// more than its fragments hold; no write goes past the size limit.
ending end_file(storage& file, const finish_record& record, const seams& seams = {});

// Step 1 alone: the fragmented file, up to its media's end, turned into an
// ordinary one. On a fault the file still plays, as the fragmented one it
// was up to the media's end, or as far as the finish got.
fault finish_file(storage& file, const finish_record& record, const seams& seams = {});

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

// The most of `fragments` fragments that can be kept, from the first on,
// such that the room from their end to the file's end holds their index;
// 0 when not even the first can. index_size(kept) never grows and room(kept)
// never shrinks as fewer are kept; the index is sized a few times only,
// since building it costs a pass over every sample.
std::size_t most_fragments_kept(std::size_t fragments,
                                const std::function<std::int64_t(std::size_t)>& index_size,
                                const std::function<std::int64_t(std::size_t)>& room);

}  // namespace Selmet::Palvex::detail
