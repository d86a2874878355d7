// The sample index of a fragmented MP4 as tracks of samples, the full index
// (moov) of an ordinary MP4 made from them, and that index's size counted as
// fragments come. Pure functions over bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "boxes.h"
#include "fault.h"

namespace Selmet::Palvex::detail {

// Where a sample lies follows from its chunk and the sizes before it; a day
// of recording has millions, so each is kept small.
struct sample {
    std::uint32_t size = 0;
    std::uint32_t duration = 0;
    std::int32_t composition = 0;  // presentation time minus decoding time
    bool sync = false;
};

// Samples that lie one after another in the file.
struct chunk {
    std::int64_t offset = 0;
    std::uint32_t samples = 0;
};

// What a track held before a fragment: with these, the fragments before it
// can be indexed alone.
struct fragment_mark {
    std::uint32_t samples = 0;
    std::uint32_t chunks = 0;
    std::int64_t presented_end = 0;
};

// What the full index's sample tables of one track hold, counted sample by
// sample and run by run as fragments are read (in either mode): enough to
// tell the tables' size without keeping the samples.
struct table_counts {
    std::int64_t samples = 0;
    std::int64_t syncs = 0;
    std::int64_t duration_runs = 0;  // of equal durations in a row
    std::int64_t composition_runs = 0;
    bool any_composition = false;
    bool sizes_differ = false;
    std::int64_t chunks = 0;
    std::int64_t chunk_runs = 0;  // of chunks with as many samples in a row
    bool wide_offsets = false;    // a chunk lies past 4 GiB
    sample last;                  // the last sample counted
    std::uint32_t first_size = 0;
    std::uint32_t last_chunk_samples = 0;

    void add_sample(const sample& s);
    void add_chunk(const chunk& c);
};

struct track {
    std::uint32_t id = 0;
    std::uint32_t timescale = 0;
    bool sound = false;
    // Fragment defaults from the trex box.
    std::uint32_t default_duration = 0;
    std::uint32_t default_size = 0;
    std::uint32_t default_flags = 0;
    bool have_decode_time = false;
    std::int64_t first_decode_time = 0;
    std::int64_t decode_time = 0;  // of the next sample
    // Where the latest presentation of a sample read so far ends.
    std::int64_t presented_end = 0;
    std::vector<sample> samples;
    std::vector<chunk> chunks;
    std::vector<fragment_mark> marks;  // one before each fragment
    table_counts counts;
};

struct movie {
    std::uint32_t timescale = 0;
    std::vector<track> tracks;      // in the order of their trak boxes
    std::int64_t sample_bytes = 0;  // in the samples read so far, all tracks
    // Where each fragment's moof starts, in the order read.
    std::vector<std::int64_t> fragment_starts;
    // Only the decode times advance: no samples, chunks or marks are kept,
    // so that a recording's whole length can be followed in little memory.
    bool times_only = false;
};

// Every fragment of a movie.
constexpr std::size_t k_all_fragments = SIZE_MAX;

// What only the sound encoder knows: how many decoded samples at the start
// merely prime the decoder, how many samples one stored sample decodes to,
// the sample rate, and how many samples were recorded.
struct sound_timing {
    std::int64_t priming = 0;
    std::int32_t frame_size = 0;
    std::int32_t sample_rate = 0;
    std::int64_t recorded = 0;
};

// Tracks, time scales and fragment defaults from a moov's payload.
fault read_movie(byte_span moov_payload, movie& out);

// The movie extends header (mehd) that tells how long a fragmented file is:
// version 1, a 64-bit fragment_duration in the movie's time scale.
constexpr std::int64_t k_length_box_size = 20;
constexpr std::int64_t k_sector = 512;

// The header the muxer wrote (ftyp, then a moov with fragment defaults in
// mvex) with a length box saying 0 as mvex's first child. `field` is where
// its 64-bit length lies in `out`. The field never crosses a 512-byte
// sector, so that a power loss during its update keeps its old or its new
// value and nothing in between: where it would, an 8-byte free box goes in
// front of mvex.
fault add_length_box(byte_span header, byte_vector& out, std::int64_t& field);

// How long the first `fragments` fragments last, in the movie's time scale
// and rounded down: where the presentation of the latest sample ends.
std::int64_t movie_length(const movie& m, std::size_t fragments = k_all_fragments);

// Adds the samples of one fragment. moof_position is where the moof box
// starts in the file, file_size how long the file is: every sample must lie
// inside it.
fault add_fragment(byte_span moof_payload, std::int64_t moof_position, std::int64_t file_size,
                   movie& m);

// The parts of the full index that do not grow with the samples: the first
// moov as build_moov rewrites it, with empty sample tables and every header
// at its widest, and of it each track's part (a track without samples is
// left out of the full index).
struct index_skeleton {
    std::int64_t movie = 0;  // without its tracks
    std::vector<std::int64_t> tracks;
};
fault measure_index(byte_span first_moov_payload, const movie& m, index_skeleton& out);

// The size of the full index of every fragment read into `m` (in either
// mode), counted from its tables as build_moov lays them out: never less
// than build_moov writes, and more only by the headers that took their
// narrower form and by sound samples that the full index makes all last
// the same (a few dozen bytes).
std::int64_t index_size(const index_skeleton& skeleton, const movie& m);

// The full index: the first moov with complete sample tables, one edit per
// track and durations, without the fragment defaults, and without the
// tracks that hold no sample (a fault where none does). Of the first
// `fragments` fragments only, where that is given: the movie stays as it
// is. The muxer stretches the first sound sample to cover a late start of
// the picture and shortens the last one to the samples recorded; here every
// sound sample lasts what it decodes to: the priming, counted in decoded
// samples, is where the edit starts, and its end shows whole samples.
fault build_moov(byte_span first_moov_payload, const movie& m, const sound_timing& sound,
                 std::size_t fragments, byte_vector& out);
inline fault build_moov(byte_span first_moov_payload, const movie& m, const sound_timing& sound,
                        byte_vector& out) {
    return build_moov(first_moov_payload, m, sound, k_all_fragments, out);
}

}  // namespace Selmet::Palvex::detail
