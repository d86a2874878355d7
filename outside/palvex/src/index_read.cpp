// Tracks from the first index and samples from the fragment headers.
#include <algorithm>

#include "index.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Selmet::Palvex::detail {

namespace {

// A month of AAC frames at 48 kHz, or two of pictures at 25 a second.
constexpr std::size_t k_max_samples = std::size_t(1) << 27;

fault bad(const std::string& text) {
    return failure(e_fault_layout, text);
}

track* track_by_id(std::vector<track>& tracks, std::uint32_t id) {
    for (track& t : tracks) {
        if (t.id == id) return &t;
    }
    return nullptr;
}

// mvhd, tkhd and mdhd: after version and flags, two times of 32 or 64 bits,
// then the field wanted here (time scale or track id).
std::uint32_t field_after_times(const box& b) {
    byte_reader r(b.payload);
    std::uint32_t version = 0, flags = 0;
    r.full_header(version, flags);
    r.skip(version == 1 ? 16 : 8);
    const std::uint32_t value = r.u32();
    return r.ok() ? value : 0;
}

fault read_trak(const box& trak, track& t) {
    std::vector<box> parts, media;
    if (!split_boxes(trak.payload, parts)) return bad("a track box is cut short");
    const box* tkhd = find_box(parts, fourcc("tkhd"));
    const box* mdia = find_box(parts, fourcc("mdia"));
    if (tkhd == nullptr || mdia == nullptr) return bad("a track has no header or no media");
    if (!split_boxes(mdia->payload, media)) return bad("a media box is cut short");
    const box* mdhd = find_box(media, fourcc("mdhd"));
    const box* hdlr = find_box(media, fourcc("hdlr"));
    if (mdhd == nullptr || hdlr == nullptr) return bad("a track has no media header");
    t.id = field_after_times(*tkhd);
    t.timescale = field_after_times(*mdhd);
    byte_reader h(hdlr->payload);
    h.skip(8);
    t.sound = h.u32() == fourcc("soun");
    if (t.id == 0 || t.timescale == 0 || !h.ok()) return bad("a track header cannot be read");
    return {};
}

fault read_trex(const box& trex, std::vector<track>& tracks) {
    byte_reader x(trex.payload);
    x.skip(4);
    track* t = track_by_id(tracks, x.u32());
    x.skip(4);  // sample description index
    const std::uint32_t duration = x.u32();
    const std::uint32_t size = x.u32();
    const std::uint32_t flags = x.u32();
    if (!x.ok()) return bad("fragment defaults are cut short");
    if (t != nullptr) {
        t->default_duration = duration;
        t->default_size = size;
        t->default_flags = flags;
    }
    return {};
}

struct fragment_defaults {
    std::int64_t base = 0;
    std::uint32_t duration = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
};

fault read_trun(const box& trun, const fragment_defaults& d, std::int64_t file_size, track& t,
                std::int64_t& next, std::int64_t& sample_bytes, bool times_only) {
    byte_reader r(trun.payload);
    std::uint32_t version = 0, flags = 0;
    r.full_header(version, flags);
    const std::uint32_t count = r.u32();
    if (flags & trun_flags::data_offset) next = d.base + std::int32_t(r.u32());
    const bool have_first_flags = (flags & trun_flags::first_sample_flags) != 0;
    const std::uint32_t first_flags = have_first_flags ? r.u32() : 0;
    if (!r.ok()) return bad("a track run is cut short");
    std::size_t per_sample = 0;
    for (const std::uint32_t field :
         {trun_flags::sample_duration, trun_flags::sample_size, trun_flags::sample_flags,
          trun_flags::sample_composition_offset}) {
        if (flags & field) per_sample += 4;
    }
    // Samples lie in the file, so there cannot be more of them than bytes.
    if (per_sample != 0 ? count > r.left() / per_sample : count > file_size) {
        return bad("a track run counts more samples than it holds");
    }
    const bool keep = !times_only;
    if (count > 0) {
        t.counts.add_chunk(chunk{next, count});
        if (keep) t.chunks.push_back(chunk{next, count});
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        sample s;
        s.duration = (flags & trun_flags::sample_duration) ? r.u32() : d.duration;
        s.size = (flags & trun_flags::sample_size) ? r.u32() : d.size;
        std::uint32_t bits = (flags & trun_flags::sample_flags) ? r.u32() : d.flags;
        if (i == 0 && have_first_flags) bits = first_flags;
        if (flags & trun_flags::sample_composition_offset) {
            const std::uint32_t raw = r.u32();
            // Version 0 offsets are unsigned; version 1 ones signed.
            s.composition =
                version == 0 ? std::int32_t(std::min(raw, 0x7FFFFFFFu)) : std::int32_t(raw);
        }
        s.sync = (bits & sample_flags::is_non_sync) == 0;
        if (next < 0 || next > file_size || s.size > file_size - next) {
            return bad("a sample lies outside the file");
        }
        // Every sample of a recording holds data of its own: the samples of
        // all tracks hold no more bytes than the file, so runs that count
        // the same bytes again, or empty samples, cannot make the index grow
        // past the file.
        if (s.size == 0) return bad("a sample is empty");
        sample_bytes += s.size;
        if (sample_bytes > file_size) return bad("the samples hold more bytes than the file");
        if (t.samples.size() >= k_max_samples) return bad("a track has more samples than it can");
        next += s.size;
        t.presented_end =
            std::max(t.presented_end, t.decode_time + s.composition + std::int64_t(s.duration));
        t.decode_time += s.duration;
        if (t.decode_time > INT64_MAX / 4) return bad("decode times run past any recording");
        t.counts.add_sample(s);
        if (keep) t.samples.push_back(s);
    }
    return {};
}

fault read_traf(const box& traf, std::int64_t moof_position, std::int64_t file_size,
                std::int64_t& previous_end, movie& m) {
    std::vector<track>& tracks = m.tracks;
    std::vector<box> parts;
    if (!split_boxes(traf.payload, parts)) return bad("a track fragment is cut short");
    const box* tfhd = find_box(parts, fourcc("tfhd"));
    if (tfhd == nullptr) return bad("a track fragment has no header");
    byte_reader h(tfhd->payload);
    std::uint32_t version = 0, flags = 0;
    h.full_header(version, flags);
    track* t = track_by_id(tracks, h.u32());
    if (t == nullptr) return bad("a fragment names a track that does not exist");
    fragment_defaults d;
    d.base = (flags & tfhd_flags::default_base_is_moof) ? moof_position : previous_end;
    if (flags & tfhd_flags::base_data_offset) d.base = std::int64_t(h.u64());
    if (flags & tfhd_flags::sample_description_index) h.skip(4);
    d.duration = (flags & tfhd_flags::default_sample_duration) ? h.u32() : t->default_duration;
    d.size = (flags & tfhd_flags::default_sample_size) ? h.u32() : t->default_size;
    d.flags = (flags & tfhd_flags::default_sample_flags) ? h.u32() : t->default_flags;
    if (!h.ok() || d.base < 0) return bad("a track fragment header cannot be read");
    if (const box* tfdt = find_box(parts, fourcc("tfdt")); tfdt != nullptr) {
        byte_reader r(tfdt->payload);
        r.full_header(version, flags);
        const std::uint64_t time = version == 1 ? r.u64() : r.u32();
        if (!r.ok() || time > std::uint64_t(INT64_MAX / 2))
            return bad("a decode time cannot be read");
        // Samples that would decode before the ones already read overlap
        // them: the full index, which times samples by their durations
        // alone, cannot tell that.
        if (t->have_decode_time && std::int64_t(time) < t->decode_time)
            return bad("a fragment's decode time goes back before the samples already read");
        t->decode_time = std::int64_t(time);
    }
    if (!t->have_decode_time) {
        t->have_decode_time = true;
        t->first_decode_time = t->decode_time;
    }
    std::int64_t next = d.base;
    for (const box& trun : parts) {
        if (trun.type != fourcc("trun")) continue;
        if (fault f = read_trun(trun, d, file_size, *t, next, m.sample_bytes, m.times_only)) {
            return f;
        }
    }
    previous_end = next;
    return {};
}

}  // namespace

void table_counts::add_sample(const sample& s) {
    if (samples == 0) first_size = s.size;
    duration_runs += samples == 0 || s.duration != last.duration;
    composition_runs += samples == 0 || s.composition != last.composition;
    any_composition = any_composition || s.composition != 0;
    sizes_differ = sizes_differ || s.size != first_size;
    syncs += s.sync;
    last = s;
    ++samples;
}

void table_counts::add_chunk(const chunk& c) {
    chunk_runs += chunks == 0 || c.samples != last_chunk_samples;
    wide_offsets = wide_offsets || std::uint64_t(c.offset) > 0xFFFFFFFFu;
    last_chunk_samples = c.samples;
    ++chunks;
}

fault read_movie(byte_span moov_payload, movie& out) {
    out = movie{};
    std::vector<box> top, inner;
    if (!split_boxes(moov_payload, top)) return bad("the index is cut short");
    const box* mvhd = find_box(top, fourcc("mvhd"));
    if (mvhd == nullptr) return bad("the index has no movie header");
    out.timescale = field_after_times(*mvhd);
    if (out.timescale == 0) return bad("the movie header cannot be read");
    for (const box& b : top) {
        if (b.type != fourcc("trak")) continue;
        track t;
        if (fault f = read_trak(b, t)) return f;
        if (track_by_id(out.tracks, t.id) != nullptr) return bad("two tracks have the same id");
        out.tracks.push_back(std::move(t));
    }
    if (out.tracks.empty()) return bad("the index has no track");
    if (const box* mvex = find_box(top, fourcc("mvex")); mvex != nullptr) {
        if (!split_boxes(mvex->payload, inner)) return bad("the fragment defaults are cut short");
        for (const box& b : inner) {
            if (b.type != fourcc("trex")) continue;
            if (fault f = read_trex(b, out.tracks)) return f;
        }
    }
    return {};
}

fault add_fragment(byte_span moof_payload, std::int64_t moof_position, std::int64_t file_size,
                   movie& m) {
    std::vector<box> trafs;
    if (!split_boxes(moof_payload, trafs)) return bad("a fragment header is cut short");
    if (!m.times_only) {
        m.fragment_starts.push_back(moof_position);
        for (track& t : m.tracks) {
            t.marks.push_back(fragment_mark{std::uint32_t(t.samples.size()),
                                            std::uint32_t(t.chunks.size()), t.presented_end});
        }
    }
    std::int64_t previous_end = moof_position;
    for (const box& traf : trafs) {
        if (traf.type != fourcc("traf")) continue;
        if (fault f = read_traf(traf, moof_position, file_size, previous_end, m)) return f;
    }
    return {};
}

std::int64_t movie_length(const movie& m, std::size_t fragments) {
    std::int64_t longest = 0;
    for (const track& t : m.tracks) {
        const std::int64_t end =
            fragments < t.marks.size() ? t.marks[fragments].presented_end : t.presented_end;
        if (t.timescale == 0 || m.timescale == 0) continue;
        longest = std::max(longest, av_rescale_rnd(end, m.timescale, t.timescale, AV_ROUND_DOWN));
    }
    return longest;
}

}  // namespace Selmet::Palvex::detail
