// The end of a file: one policy for every close (a clean end, a full disk, a
// size limit, a write that failed before or inside close()), which turns the
// fragmented file into an ordinary MP4 by the soundest way that works and
// says what it did. The steps and what each leaves are told in the
// recorder's README; here they are carried out, every write and cut through
// one counted path that the seams may stop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "index.h"
#include "seams.h"
#include "storage.h"

namespace Selmet::Palvex::detail {

// Everything the end needs to know about a recording.
struct finish_record {
    // The muxer wrote its trailer: every sample it was given is in the file.
    bool ended = false;
    // Where the complete media ends (bytes after it are a torn fragment); 0
    // before the header was on the disk whole.
    std::int64_t media_end = 0;
    // Where the header's 64-bit length lies; -1 without one.
    std::int64_t length_field = -1;
    // Room for the full index is allocated beyond the media.
    bool room_held = false;
    // Why the file system copies every block written over, where it does
    // (a write in place then needs free room); empty where it writes in place.
    std::string copies_on_write;
    sound_timing sound;
    // Samples handed to the muxer per track, in the order of the tracks;
    // checked against the file after a clean end.
    std::vector<std::int64_t> samples_written;
};

// What the end policy did with the file.
struct ending {
    enum e_outcome {
        e_header_cut,  // the header never reached the disk whole
        e_empty,       // no complete fragment: nothing to finish
        e_finished,    // an ordinary MP4 of the first `kept` fragments
        e_fragmented,  // left fragmented with the first `kept` fragments
    };
    // What the header of a file left fragmented tells of its length.
    enum e_length { e_length_none, e_length_kept, e_length_at_most_kept };
    e_outcome outcome = e_empty;
    e_length length = e_length_kept;
    std::size_t fragments = 0;    // complete in the file when it ended
    std::size_t kept = 0;         // of them, in the file as it is left
    double seconds_kept = 0;      // of media
    double seconds_given_up = 0;  // of media in the fragments not kept
    // The steps tried that failed, each with its reason, in order.
    std::vector<std::string> failed;
    std::string copies_on_write;  // as in the record
    std::int32_t changes = 0;     // writes and cuts made

    // Finished with every complete fragment, nothing failing on the way.
    bool whole() const { return outcome != e_fragmented && kept == fragments && failed.empty(); }
};

// What the policy did, for the writer's error text: "the file is finished,
// with all of its media", or the failed steps and what came of them.
std::string describe(const ending& e);

// Ends the file by the policy: after the media, else in place of the fewest
// last fragments, else after cutting it back, else left fragmented. After
// every single write the file plays, its header never tells more than its
// fragments hold, and no write goes past the size limit.
ending end_file(storage& file, const finish_record& record, const seams& seams = {});

}  // namespace Selmet::Palvex::detail
