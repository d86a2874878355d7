// The recorder's index reader over any bytes: tracks from the first moov and
// samples from every moof, as the finish reads a file that a crash, a full
// disk or another program may have left in any state, then the full index
// made from what was read.
//
// The first byte chooses the mode:
// - even: the rest is a file. Whatever it reads must hold together: each
//   sample in a chunk, each chunk inside the file, and a full index that
//   reads back with the same tracks.
// - odd: the rest describes samples, which are written as fragments the way
//   the muxer writes them (each run's decode time where the track's samples
//   so far end) and read back: the reader must give back exactly what was
//   written, and their full index takes what its count says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "boxes.h"
#include "index.h"
#include "synthetic_boxes.h"

namespace {

using namespace Selmet::Palvex::detail;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

void expect(bool condition, const char* what) {
    if (!condition) broken(what);
}

// What the finish does with a file: the first moov, then every moof.
void read_as_file(byte_span file) {
    const auto size = std::int64_t(file.size());
    movie m;
    byte_span moov;
    bool have_movie = false;
    for (std::int64_t at = 0; size - at >= 8;) {
        top_box b;
        if (!read_top_box(
                file.subspan(std::size_t(at), std::size_t(std::min<std::int64_t>(16, size - at))),
                at, size, b)) {
            return;
        }
        expect(b.size >= b.header && b.position + b.size <= size, "a box outside the file");
        const byte_span payload =
            file.subspan(std::size_t(b.position + b.header), std::size_t(b.size - b.header));
        at += b.size;
        if (b.type == fourcc("moov") && !have_movie) {
            if (read_movie(payload, m)) return;
            have_movie = true;
            moov = payload;
        } else if (b.type == fourcc("moof") && have_movie) {
            if (add_fragment(payload, b.position, size, m)) return;
        }
    }
    if (!have_movie) return;
    for (const track& t : m.tracks) {
        std::uint64_t in_chunks = 0;
        std::size_t next = 0;
        for (const chunk& c : t.chunks) {
            expect(c.samples > 0, "an empty chunk");
            in_chunks += c.samples;
            std::int64_t end = c.offset;
            for (std::uint32_t i = 0; i < c.samples; ++i) end += t.samples.at(next++).size;
            expect(c.offset >= 0 && end <= size, "a chunk outside the file");
        }
        expect(in_chunks == t.samples.size(), "samples outside any chunk");
        expect(t.decode_time >= t.first_decode_time, "decode time ran backwards");
    }
    // The full index keeps the tracks that hold a sample, and only them.
    std::vector<track> read_tracks;
    for (const track& t : m.tracks) {
        if (!t.samples.empty()) read_tracks.push_back(t);
    }
    byte_vector full;
    const fault built = build_moov(moov, m, sound_timing{}, full);
    expect(!read_tracks.empty() || built, "a full index of no sample");
    if (built) return;
    std::vector<box> whole;
    expect(split_boxes(full, whole) && whole.size() == 1 && whole[0].type == fourcc("moov"),
           "the full index is not one moov box");
    movie again;
    expect(!read_movie(whole[0].payload, again), "the full index does not read back");
    expect(again.tracks.size() == read_tracks.size(), "the full index lost a track");
    for (std::size_t i = 0; i < read_tracks.size(); ++i) {
        expect(again.tracks[i].id == read_tracks[i].id &&
                   again.tracks[i].timescale == read_tracks[i].timescale,
               "the full index changed a track");
    }
}

// Fields taken from the input one after another; zeros once it runs out.
class source {
  public:
    explicit source(byte_span data) : m_data(data) {}
    std::uint32_t take(std::size_t bytes) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            value = value << 8 | (m_at < m_data.size() ? m_data[m_at] : 0);
            ++m_at;
        }
        return value;
    }
    bool empty() const { return m_at >= m_data.size(); }

  private:
    byte_span m_data;
    std::size_t m_at = 0;
};

void round_trip(byte_span data) {
    source in(data);
    const std::size_t track_count = 1 + in.take(1) % 2;
    std::vector<synthetic::track_spec> specs(track_count);
    for (std::size_t t = 0; t < track_count; ++t) {
        specs[t].id = std::uint32_t(t + 1);
        specs[t].timescale = 1 + in.take(2);
        specs[t].sound = t == 1;
    }
    byte_writer file;
    const std::size_t moov_at = file.begin(fourcc("moov"));
    file.raw(synthetic::moov_payload(specs));
    file.end(moov_at);
    const std::int64_t moov_end = std::int64_t(file.size());
    // Fragments of runs: per track, the samples of each run, the media after
    // the moof; what was written is kept to compare with.
    std::vector<std::vector<synthetic::sample_spec>> written(track_count);
    std::vector<std::vector<std::int64_t>> chunk_offsets(track_count);
    std::vector<std::uint64_t> decode_times(track_count, 0);
    std::int64_t fragments = 0;
    while (!in.empty() && fragments < 64) {
        std::vector<std::vector<synthetic::sample_spec>> runs(track_count);
        std::uint32_t media = 0;
        for (std::size_t t = 0; t < track_count; ++t) {
            const std::uint32_t count = in.take(1) % 9;
            for (std::uint32_t i = 0; i < count; ++i) {
                synthetic::sample_spec s;
                s.duration = in.take(2);
                s.size = 1 + in.take(1);
                s.flags = (in.take(1) & 1) ? sample_flags::is_non_sync : 0;
                s.composition = std::int32_t(std::int16_t(in.take(2)));
                runs[t].push_back(s);
                media += s.size;
            }
        }
        // The moof once to learn its size, then with the data offsets.
        byte_vector moof;
        for (int pass = 0; pass < 2; ++pass) {
            byte_writer w;
            const std::size_t at = w.begin(fourcc("moof"));
            std::int32_t offset = std::int32_t(moof.size()) + 8;
            for (std::size_t t = 0; t < track_count; ++t) {
                if (runs[t].empty()) continue;
                synthetic::put_traf(w, std::uint32_t(t + 1), tfhd_flags::default_base_is_moof, {},
                                    0,
                                    trun_flags::data_offset | trun_flags::sample_duration |
                                        trun_flags::sample_size | trun_flags::sample_flags |
                                        trun_flags::sample_composition_offset,
                                    1, offset, runs[t], decode_times[t]);
                for (const synthetic::sample_spec& s : runs[t]) offset += std::int32_t(s.size);
            }
            w.end(at);
            moof = w.take();
        }
        const std::int64_t moof_at = std::int64_t(file.size());
        file.raw(moof);
        file.u32(8 + media);
        file.u32(fourcc("mdat"));
        std::int64_t data_at = moof_at + std::int64_t(moof.size()) + 8;
        for (std::size_t t = 0; t < track_count; ++t) {
            if (runs[t].empty()) continue;
            chunk_offsets[t].push_back(data_at);
            for (const synthetic::sample_spec& s : runs[t]) {
                for (std::uint32_t i = 0; i < s.size; ++i) file.u8(0);
                data_at += s.size;
                decode_times[t] += s.duration;
                written[t].push_back(s);
            }
        }
        ++fragments;
    }
    const byte_vector bytes = file.take();
    const auto size = std::int64_t(bytes.size());
    movie m;
    expect(!read_movie(byte_span(bytes).subspan(8, std::size_t(moov_end - 8)), m),
           "a written moov does not read");
    std::int64_t at = moov_end;
    while (at < size) {
        top_box b;
        expect(read_top_box(byte_span(bytes).subspan(std::size_t(at)), at, size, b),
               "a written box does not read");
        if (b.type == fourcc("moof")) {
            const byte_span payload = byte_span(bytes).subspan(std::size_t(at + b.header),
                                                               std::size_t(b.size - b.header));
            expect(!add_fragment(payload, at, size, m), "a written fragment does not read");
        }
        at += b.size;
    }
    expect(m.tracks.size() == track_count, "tracks lost");
    for (std::size_t t = 0; t < track_count; ++t) {
        const track& got = m.tracks[t];
        expect(got.samples.size() == written[t].size(), "samples lost or added");
        for (std::size_t i = 0; i < got.samples.size(); ++i) {
            const synthetic::sample_spec& w = written[t][i];
            const sample& r = got.samples[i];
            expect(r.duration == w.duration && r.size == w.size && r.composition == w.composition &&
                       r.sync == ((w.flags & sample_flags::is_non_sync) == 0),
                   "a sample reads back other than written");
        }
        expect(got.first_decode_time == 0 && got.decode_time == std::int64_t(decode_times[t]),
               "decode times read other than written");
        expect(got.chunks.size() == chunk_offsets[t].size(), "runs lost or added");
        for (std::size_t c = 0; c < got.chunks.size(); ++c) {
            expect(got.chunks[c].offset == chunk_offsets[t][c], "a run's data moved");
        }
    }
    const byte_span first = byte_span(bytes).subspan(8, std::size_t(moov_end - 8));
    index_skeleton skeleton;
    expect(!measure_index(first, m, skeleton), "the written moov cannot be measured");
    const std::int64_t counted = index_size(skeleton, m);
    byte_vector full;
    const bool any = std::any_of(written.begin(), written.end(),
                                 [](const auto& samples) { return !samples.empty(); });
    expect(!build_moov(first, m, sound_timing{}, full) == any,
           "no full index for written samples, or one of none");
    if (!any) return;
    // The count takes every header at its widest: 12 bytes more for the
    // movie's, 32 for each track's.
    expect(std::int64_t(full.size()) <= counted, "the full index is larger than counted");
    expect(counted <= std::int64_t(full.size()) + 12 + 32 * std::int64_t(track_count),
           "the full index is smaller than counted by more than its headers");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const byte_span rest(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        read_as_file(rest);
    } else {
        round_trip(rest);
    }
    return 0;
}
