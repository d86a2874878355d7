// The full index, one function per box, and its size counted from the same
// layout. Boxes the full index does not change are copied from the first
// index as they are.
#include <algorithm>
#include <limits>
#include <span>
#include <utility>

#include "index.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Selmet::Palvex::detail {

namespace {

constexpr std::uint64_t k_max_u32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t k_rate_one = 0x00010000;  // 16.16 fixed point

fault bad(const std::string& text) {
    return failure(e_fault_layout, text);
}

// How a track is presented: its whole media length, the media time of its
// first presented instant and the presented length in the movie's scale.
struct presentation {
    std::int64_t media_duration = 0;
    std::int64_t media_start = 0;
    std::int64_t shown = 0;
};

// A track as far as the indexed fragments go. Sound samples may all last
// what one decodes to instead of what the fragments say.
struct track_view {
    const track& t;
    std::span<const sample> samples;
    std::span<const chunk> chunks;
    std::uint32_t fixed_duration = 0;  // 0: as the fragments say

    std::uint32_t duration(const sample& s) const {
        return fixed_duration != 0 ? fixed_duration : s.duration;
    }
};

// The track up to the start of fragment `fragments`.
track_view up_to(const track& t, std::size_t fragments, std::uint32_t fixed_duration) {
    track_view v{t, t.samples, t.chunks};
    if (fragments < t.marks.size()) {
        v.samples =
            v.samples.first(std::min<std::size_t>(t.marks[fragments].samples, t.samples.size()));
        v.chunks =
            v.chunks.first(std::min<std::size_t>(t.marks[fragments].chunks, t.chunks.size()));
    }
    v.fixed_duration = fixed_duration;
    return v;
}

// What every sound sample lasts in the full index: what it decodes to; 0
// for a picture track or without the encoder's frame size.
std::uint32_t decoded_duration(const track& t, const sound_timing& sound) {
    if (!t.sound || sound.frame_size <= 0 || sound.sample_rate <= 0) return 0;
    return std::uint32_t(av_rescale(sound.frame_size, t.timescale, sound.sample_rate));
}

presentation present_view(const track_view& v, std::uint32_t movie_timescale,
                          const sound_timing& sound) {
    const track& t = v.t;
    presentation out;
    if (v.samples.empty()) return out;
    std::int64_t dts = t.first_decode_time;
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t last = std::numeric_limits<std::int64_t>::min();
    // The encoder's priming is counted in decoded samples; every stored
    // sample decodes to frame_size of them.
    const bool primed = t.sound && sound.frame_size > 0 && sound.sample_rate > 0;
    const std::int64_t whole_primed = primed ? sound.priming / sound.frame_size : 0;
    std::int64_t sound_start = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < v.samples.size(); ++i) {
        const sample& s = v.samples[i];
        const std::int64_t duration = v.duration(s);
        if (primed && std::int64_t(i) == whole_primed) {
            sound_start =
                dts + s.composition +
                av_rescale(sound.priming % sound.frame_size, t.timescale, sound.sample_rate);
        }
        first = std::min(first, dts + s.composition);
        last = std::max(last, dts + s.composition + duration);
        dts += duration;
        out.media_duration += duration;
    }
    if (primed) {
        // A recording shorter than its priming shows nothing.
        first = std::min(last, sound_start);
        // The encoder's padding after the last recorded sample is not shown
        // either, up to the end of the stored sample that holds it: players
        // drop a sample that an edit shows only in part. Of the first
        // fragments of a recording, every sample is recorded sound.
        const std::int64_t recorded = v.samples.size() < t.samples.size() ? 0 : sound.recorded;
        if (recorded > 0) {
            const std::int64_t end = sound.priming + recorded;
            const std::int64_t whole_end =
                (end + sound.frame_size - 1) / sound.frame_size * sound.frame_size;
            last = std::min(last, first + av_rescale(whole_end - sound.priming, t.timescale,
                                                     sound.sample_rate));
        }
    }
    out.media_start = first;
    out.shown = av_rescale(last - first, movie_timescale, t.timescale);
    // One tick more: a player drops the last sound sample when the edit ends
    // exactly where that sample does.
    if (t.sound && sound.frame_size > 0 && out.shown > 0) ++out.shown;
    return out;
}

// mvhd, tkhd and mdhd with a new duration. Version 0 keeps 32-bit times,
// version 1 64-bit ones; the box is written in version 1 only when a value
// needs it.
// A movie header also gets a new time scale.
fault put_timed_box(byte_writer& w, const box& b, std::uint64_t duration,
                    std::uint32_t movie_timescale = 0) {
    const bool is_tkhd = b.type == fourcc("tkhd");
    byte_reader r(b.payload);
    std::uint32_t version = 0, flags = 0;
    r.full_header(version, flags);
    const std::size_t width = version == 1 ? 8 : 4;
    const std::uint64_t created = r.uint(width);
    const std::uint64_t modified = r.uint(width);
    const std::uint32_t scale_or_id = r.u32();
    const std::uint32_t reserved = is_tkhd ? r.u32() : 0;
    r.uint(width);  // the old duration
    if (!r.ok()) return bad("a header box is cut short: " + fourcc_text(b.type));
    const bool wide = created > k_max_u32 || modified > k_max_u32 || duration > k_max_u32;
    const std::size_t at = w.begin_full(b.type, wide ? 1 : 0, flags);
    const auto put_time = [&w, wide](std::uint64_t value) {
        wide ? w.u64(value) : w.u32(std::uint32_t(value));
    };
    put_time(created);
    put_time(modified);
    w.u32(movie_timescale != 0 ? movie_timescale : scale_or_id);
    if (is_tkhd) w.u32(reserved);
    put_time(duration);
    w.raw(r.rest());
    w.end(at);
    return {};
}

// One edit: the track shows from its first presented instant on.
void put_edts(byte_writer& w, const presentation& p) {
    const bool wide = std::uint64_t(p.shown) > k_max_u32 ||
                      p.media_start > std::numeric_limits<std::int32_t>::max();
    const std::size_t edts = w.begin(fourcc("edts"));
    const std::size_t elst = w.begin_full(fourcc("elst"), wide ? 1 : 0, 0);
    w.u32(1);
    if (wide) {
        w.u64(std::uint64_t(p.shown));
        w.u64(std::uint64_t(p.media_start));
    } else {
        w.u32(std::uint32_t(p.shown));
        w.u32(std::uint32_t(p.media_start));
    }
    w.u32(k_rate_one);
    w.end(elst);
    w.end(edts);
}

// A run-length coded table of (count, value) pairs.
template <typename value_of>
void put_runs(byte_writer& w, std::uint32_t type, std::uint32_t version, const track_view& t,
              value_of value) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    for (const sample& s : t.samples) {
        const std::uint32_t v = value(s);
        if (!runs.empty() && runs.back().second == v) {
            ++runs.back().first;
        } else {
            runs.emplace_back(1, v);
        }
    }
    const std::size_t at = w.begin_full(type, version, 0);
    w.u32(std::uint32_t(runs.size()));
    for (const auto& [count, v] : runs) {
        w.u32(count);
        w.u32(v);
    }
    w.end(at);
}

void put_stts(byte_writer& w, const track_view& t) {
    put_runs(w, fourcc("stts"), 0, t, [&t](const sample& s) { return t.duration(s); });
}

// Presentation offsets, when any sample has one; version 1 when one is negative.
void put_ctts(byte_writer& w, const track_view& t) {
    const bool any = std::any_of(t.samples.begin(), t.samples.end(),
                                 [](const sample& s) { return s.composition != 0; });
    if (!any) return;
    const bool negative = std::any_of(t.samples.begin(), t.samples.end(),
                                      [](const sample& s) { return s.composition < 0; });
    put_runs(w, fourcc("ctts"), negative ? 1 : 0, t,
             [](const sample& s) { return std::uint32_t(s.composition); });
}

// Sync samples, unless every sample is one.
void put_stss(byte_writer& w, const track_view& t) {
    const auto sync_count = std::size_t(
        std::count_if(t.samples.begin(), t.samples.end(), [](const sample& s) { return s.sync; }));
    if (sync_count == t.samples.size()) return;
    const std::size_t at = w.begin_full(fourcc("stss"), 0, 0);
    w.u32(std::uint32_t(sync_count));
    for (std::size_t i = 0; i < t.samples.size(); ++i) {
        if (t.samples[i].sync) w.u32(std::uint32_t(i + 1));
    }
    w.end(at);
}

// Each run of a fragment is one chunk.
void put_stsc(byte_writer& w, const track_view& t) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;  // first chunk, samples
    for (std::size_t i = 0; i < t.chunks.size(); ++i) {
        if (runs.empty() || runs.back().second != t.chunks[i].samples) {
            runs.emplace_back(std::uint32_t(i + 1), t.chunks[i].samples);
        }
    }
    const std::size_t at = w.begin_full(fourcc("stsc"), 0, 0);
    w.u32(std::uint32_t(runs.size()));
    for (const auto& [first, count] : runs) {
        w.u32(first);
        w.u32(count);
        w.u32(1);  // sample description
    }
    w.end(at);
}

void put_stsz(byte_writer& w, const track_view& t) {
    const bool same = !t.samples.empty() &&
                      std::all_of(t.samples.begin(), t.samples.end(), [&t](const sample& s) {
                          return s.size == t.samples.front().size;
                      });
    const std::size_t at = w.begin_full(fourcc("stsz"), 0, 0);
    w.u32(same ? t.samples.front().size : 0);
    w.u32(std::uint32_t(t.samples.size()));
    if (!same) {
        for (const sample& s : t.samples) w.u32(s.size);
    }
    w.end(at);
}

// Chunk offsets, 64-bit (co64) where the file needs it.
void put_stco(byte_writer& w, const track_view& t) {
    const bool wide = std::any_of(t.chunks.begin(), t.chunks.end(), [](const chunk& c) {
        return std::uint64_t(c.offset) > k_max_u32;
    });
    const std::size_t at = w.begin_full(wide ? fourcc("co64") : fourcc("stco"), 0, 0);
    w.u32(std::uint32_t(t.chunks.size()));
    for (const chunk& c : t.chunks) {
        wide ? w.u64(std::uint64_t(c.offset)) : w.u32(std::uint32_t(c.offset));
    }
    w.end(at);
}

bool is_sample_table(std::uint32_t type) {
    for (const std::uint32_t t : {fourcc("stts"), fourcc("ctts"), fourcc("stss"), fourcc("stsc"),
                                  fourcc("stsz"), fourcc("stz2"), fourcc("stco"), fourcc("co64"),
                                  fourcc("cslg"), fourcc("sbgp"), fourcc("sdtp")}) {
        if (type == t) return true;
    }
    return false;
}

// mdia, minf and stbl: copied with a new media header and new sample tables.
fault put_media_box(byte_writer& w, const box& b, const track_view& t, const presentation& p) {
    std::vector<box> parts;
    if (!split_boxes(b.payload, parts)) return bad("a media box is cut short");
    const std::size_t at = w.begin(b.type);
    for (const box& part : parts) {
        if (part.type == fourcc("mdhd")) {
            if (fault f = put_timed_box(w, part, std::uint64_t(p.media_duration))) return f;
        } else if (part.type == fourcc("minf") || part.type == fourcc("stbl")) {
            if (fault f = put_media_box(w, part, t, p)) return f;
        } else if (b.type == fourcc("stbl") && is_sample_table(part.type)) {
            continue;
        } else {
            w.raw(part.whole);
            if (part.type == fourcc("stsd")) {
                put_stts(w, t);
                put_ctts(w, t);
                put_stss(w, t);
                put_stsc(w, t);
                put_stsz(w, t);
                put_stco(w, t);
            }
        }
    }
    w.end(at);
    return {};
}

fault put_trak(byte_writer& w, const box& trak, const track_view& t, const presentation& p) {
    std::vector<box> parts;
    if (!split_boxes(trak.payload, parts)) return bad("a track box is cut short");
    const std::size_t at = w.begin(fourcc("trak"));
    for (const box& part : parts) {
        if (part.type == fourcc("tkhd")) {
            if (fault f = put_timed_box(w, part, std::uint64_t(p.shown))) return f;
            put_edts(w, p);
        } else if (part.type == fourcc("mdia")) {
            if (fault f = put_media_box(w, part, t, p)) return f;
        } else if (part.type != fourcc("edts")) {
            w.raw(part.whole);
        }
    }
    w.end(at);
    return {};
}

// The moov of `views` with their presentations, in the movie's `timescale`
// and lasting `longest`; a track without samples is left out unless
// `keep_empty`. `trak_sizes` (where given) gets what each track's box took.
fault write_moov(byte_span first_moov_payload, const std::vector<track_view>& views,
                 const std::vector<presentation>& shown, std::uint32_t timescale,
                 std::int64_t longest, bool keep_empty, byte_vector& out,
                 std::vector<std::int64_t>* trak_sizes = nullptr) {
    std::vector<box> top;
    if (!split_boxes(first_moov_payload, top)) return bad("the index is cut short");
    byte_writer w;
    const std::size_t at = w.begin(fourcc("moov"));
    std::size_t index = 0;
    for (const box& b : top) {
        if (b.type == fourcc("mvhd")) {
            if (fault f = put_timed_box(w, b, std::uint64_t(longest), timescale)) return f;
        } else if (b.type == fourcc("trak")) {
            if (index >= views.size()) return bad("the index has more tracks than it had");
            const std::size_t before = w.size();
            if (keep_empty || !views[index].samples.empty()) {
                if (fault f = put_trak(w, b, views[index], shown[index])) return f;
            }
            if (trak_sizes != nullptr) trak_sizes->push_back(std::int64_t(w.size() - before));
            ++index;
        } else if (b.type != fourcc("mvex")) {
            w.raw(b.whole);
        }
    }
    w.end(at);
    if (w.size() > k_max_u32) return bad("the full index is too large");
    out = w.take();
    return {};
}

// What the tables of a track hold beyond empty ones, entry by entry as the
// put_ functions above write them: stts and ctts a run in 8 bytes, stss a
// sync sample in 4, stsc a run of chunks in 12, stsz a size in 4 unless all
// are the same, stco a chunk in 4 (co64 in 8); ctts and stss, absent when
// empty, with a 16-byte header.
std::int64_t table_bytes(const table_counts& c) {
    std::int64_t bytes =
        8 * c.duration_runs + 12 * c.chunk_runs + (c.wide_offsets ? 8 : 4) * c.chunks;
    if (c.any_composition) bytes += 16 + 8 * c.composition_runs;
    if (c.syncs < c.samples) bytes += 16 + 4 * c.syncs;
    if (c.sizes_differ) bytes += 4 * c.samples;
    return bytes;
}

}  // namespace

fault measure_index(byte_span first_moov_payload, const movie& m, index_skeleton& out) {
    // Values past 32 bits give every header and edit its wider form.
    constexpr auto wide = std::int64_t(k_max_u32) + 1;
    std::vector<track_view> views;
    for (const track& t : m.tracks) views.push_back(track_view{t, {}, {}});
    const std::vector<presentation> shown(views.size(), presentation{wide, wide, wide});
    byte_vector moov;
    out.tracks.clear();
    if (fault f = write_moov(first_moov_payload, views, shown, m.timescale, wide, true, moov,
                             &out.tracks)) {
        return f;
    }
    out.movie = std::int64_t(moov.size());
    for (const std::int64_t trak : out.tracks) out.movie -= trak;
    return {};
}

std::int64_t index_size(const index_skeleton& skeleton, const movie& m) {
    std::int64_t size = skeleton.movie;
    for (std::size_t i = 0; i < m.tracks.size() && i < skeleton.tracks.size(); ++i) {
        const table_counts& c = m.tracks[i].counts;
        if (c.samples > 0) size += skeleton.tracks[i] + table_bytes(c);
    }
    return size;
}

fault build_moov(byte_span first_moov_payload, const movie& m, const sound_timing& sound,
                 std::size_t fragments, byte_vector& out) {
    // The movie counts time in the sound's own scale, where there is sound,
    // so that its edit can show exactly whole samples.
    std::uint32_t timescale = m.timescale;
    for (const track& t : m.tracks) {
        if (t.sound && sound.frame_size > 0) timescale = t.timescale;
    }
    std::vector<track_view> views;
    std::vector<presentation> shown;
    std::int64_t longest = 0;
    bool any = false;
    for (const track& t : m.tracks) {
        views.push_back(up_to(t, fragments, decoded_duration(t, sound)));
        shown.push_back(present_view(views.back(), timescale, sound));
        longest = std::max(longest, shown.back().shown);
        any = any || !views.back().samples.empty();
    }
    if (!any) return bad("the index holds no sample");
    return write_moov(first_moov_payload, views, shown, timescale, longest, false, out);
}

fault add_length_box(byte_span header, byte_vector& out, std::int64_t& field) {
    std::vector<box> top, inner;
    if (!split_boxes(header, top)) return bad("the file's header is cut short");
    const box* moov = find_box(top, fourcc("moov"));
    if (moov == nullptr || !split_boxes(moov->payload, inner)) {
        return bad("the file's header has no index");
    }
    const box* mvex = find_box(inner, fourcc("mvex"));
    if (mvex == nullptr || mvex->whole.size() != mvex->payload.size() + 8) {
        return bad("the file's index has no fragment defaults");
    }
    byte_writer w;
    for (const box& b : top) {
        if (b.type != fourcc("moov") || b.whole.data() != moov->whole.data()) {
            w.raw(b.whole);
            continue;
        }
        const std::size_t moov_at = w.begin(fourcc("moov"));
        for (const box& child : inner) {
            if (child.whole.data() != mvex->whole.data()) {
                w.raw(child.whole);
                continue;
            }
            // Where the length would lie: after mvex's header and the length
            // box's own header, version and flags.
            const auto at = std::int64_t(w.size()) + 8 + 12;
            if (at % k_sector > k_sector - 8) w.end(w.begin(fourcc("free")));
            const std::size_t mvex_at = w.begin(fourcc("mvex"));
            const std::size_t mehd_at = w.begin_full(fourcc("mehd"), 1, 0);
            field = std::int64_t(w.size());
            w.u64(0);
            w.end(mehd_at);
            w.raw(child.payload);
            w.end(mvex_at);
        }
        w.end(moov_at);
    }
    if (w.size() > k_max_u32) return bad("the file's header is too large");
    out = w.take();
    return {};
}

}  // namespace Selmet::Palvex::detail
