// Work on the finished or broken file after the muxer is done with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Selmet::Palvex::detail {

// Turns a cleanly closed fragmented MP4 into an ordinary one: a full index
// (a moov with complete sample tables) is appended, then the fragment headers
// and the first, empty index become free boxes. The sample data stays where it
// is, so this costs one pass over the fragment headers, not over the file.
// sound_skip is the number of samples at the start of the sound track that only
// prime the decoder, sound_length the number of samples that were recorded; the
// index's edit list shows exactly those. Returns an empty text on
// success, otherwise the reason; the file is then still the fragmented one.
std::string finish_file(const std::string& url, std::int64_t sound_skip, std::int64_t sound_length);

// After a failed write: the last fragment that made it only partly to disk
// becomes a free box, so the file ends with its last complete fragment.
// complete_ends are file positions at which a fragment was handed over whole.
void cut_torn_fragment(const std::string& url, const std::vector<std::int64_t>& complete_ends);

}  // namespace Selmet::Palvex::detail
