#include "finish.h"

#include <algorithm>
#include <cstring>
#include <limits>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

namespace Selmet::Palvex::detail {

namespace {

constexpr std::uint32_t fourcc(const char (&name)[5]) {
    return std::uint32_t(std::uint8_t(name[0])) << 24 | std::uint32_t(std::uint8_t(name[1])) << 16 |
           std::uint32_t(std::uint8_t(name[2])) << 8 | std::uint32_t(std::uint8_t(name[3]));
}

// Index boxes are small; anything larger is not a file this writer made.
constexpr std::int64_t k_max_header_box = std::int64_t(64) << 20;
constexpr std::uint32_t k_max_u32 = std::numeric_limits<std::uint32_t>::max();

// Sample flag: not a sync sample.
constexpr std::uint32_t k_non_sync = 0x00010000;

struct top_box {
    std::uint32_t type;
    std::int64_t position;
    std::int64_t size;
    std::vector<std::uint8_t> payload;  // moov and moof only
};

// A box inside a buffer.
struct box {
    std::uint32_t type = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t size = 0;  // of the payload
    const std::uint8_t* start = nullptr;
    std::size_t total = 0;  // header included
};

bool children(const std::uint8_t* data, std::size_t size, std::vector<box>& out) {
    out.clear();
    std::size_t at = 0;
    while (at + 8 <= size) {
        const std::uint8_t* p = data + at;
        std::uint64_t length =
            std::uint64_t(p[0]) << 24 | std::uint64_t(p[1]) << 16 | std::uint64_t(p[2]) << 8 | p[3];
        std::size_t header = 8;
        if (length == 1) {
            if (at + 16 > size) return false;
            length = 0;
            for (int i = 0; i < 8; ++i) length = length << 8 | p[8 + i];
            header = 16;
        } else if (length == 0) {
            length = size - at;
        }
        if (length < header || length > size - at) return false;
        box b;
        b.type =
            std::uint32_t(p[4]) << 24 | std::uint32_t(p[5]) << 16 | std::uint32_t(p[6]) << 8 | p[7];
        b.payload = p + header;
        b.size = std::size_t(length) - header;
        b.start = p;
        b.total = std::size_t(length);
        out.push_back(b);
        at += std::size_t(length);
    }
    return at == size;
}

const box* find(const std::vector<box>& boxes, std::uint32_t type) {
    for (const box& b : boxes) {
        if (b.type == type) return &b;
    }
    return nullptr;
}

// Reads big-endian fields from a box payload; any read past the end clears ok.
struct reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool ok = true;

    std::uint64_t read(int bytes) {
        if (!ok || size - at < std::size_t(bytes)) {
            ok = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) value = value << 8 | data[at++];
        return value;
    }
    std::uint32_t u32() { return std::uint32_t(read(4)); }
    std::uint64_t u64() { return read(8); }
    void skip(std::size_t bytes) {
        if (!ok || size - at < bytes) {
            ok = false;
            return;
        }
        at += bytes;
    }
};

class writer_buffer {
  public:
    std::vector<std::uint8_t> bytes;

    void u8(std::uint32_t v) { bytes.push_back(std::uint8_t(v)); }
    void u16(std::uint32_t v) {
        u8(v >> 8);
        u8(v);
    }
    void u32(std::uint32_t v) {
        u16(v >> 16);
        u16(v & 0xFFFF);
    }
    void u64(std::uint64_t v) {
        u32(std::uint32_t(v >> 32));
        u32(std::uint32_t(v));
    }
    void raw(const std::uint8_t* p, std::size_t n) { bytes.insert(bytes.end(), p, p + n); }
    std::size_t begin(std::uint32_t type) {
        const std::size_t at = bytes.size();
        u32(0);
        u32(type);
        return at;
    }
    std::size_t begin_full(std::uint32_t type, std::uint32_t version, std::uint32_t flags) {
        const std::size_t at = begin(type);
        u32(version << 24 | flags);
        return at;
    }
    void end(std::size_t at) {
        const std::uint32_t size = std::uint32_t(bytes.size() - at);
        for (int i = 0; i < 4; ++i) bytes[at + std::size_t(i)] = std::uint8_t(size >> (24 - 8 * i));
    }
};

struct sample {
    std::int64_t offset;
    std::uint32_t size;
    std::uint32_t duration;
    std::int32_t composition;  // offset of presentation from decoding time
    bool sync;
};

struct chunk {
    std::int64_t offset;
    std::uint32_t samples;
};

struct track {
    std::uint32_t id = 0;
    std::uint32_t timescale = 0;
    bool sound = false;
    std::uint32_t default_duration = 0;
    std::uint32_t default_size = 0;
    std::uint32_t default_flags = 0;
    bool have_decode_time = false;
    std::int64_t decode_time = 0;  // of the next sample
    std::int64_t first_decode_time = 0;
    std::vector<sample> samples;
    std::vector<chunk> chunks;
};

track* track_by_id(std::vector<track>& tracks, std::uint32_t id) {
    for (track& t : tracks) {
        if (t.id == id) return &t;
    }
    return nullptr;
}

std::string av_text(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof(buffer));
    return buffer;
}

// Reads the top-level boxes, keeping the payloads of moov and moof.
std::string read_layout(const std::string& url, std::vector<top_box>& boxes, std::int64_t& end) {
    AVIOContext* in = nullptr;
    int result = avio_open(&in, url.c_str(), AVIO_FLAG_READ);
    if (result < 0) return "cannot read the file back: " + av_text(result);
    end = avio_size(in);
    std::string problem;
    std::int64_t at = 0;
    while (problem.empty() && at + 8 <= end) {
        if (avio_seek(in, at, SEEK_SET) < 0) {
            problem = "cannot seek in the file";
            break;
        }
        std::int64_t size = avio_rb32(in);
        const std::uint32_t type = avio_rb32(in);
        std::int64_t header = 8;
        if (size == 1) {
            size = std::int64_t(avio_rb64(in));
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at) {
            problem = "the file has a box cut short";
            break;
        }
        top_box b{type, at, size, {}};
        if (type == fourcc("moov") || type == fourcc("moof")) {
            if (size > k_max_header_box) {
                problem = "an index box is too large";
                break;
            }
            b.payload.resize(std::size_t(size - header));
            if (avio_read(in, b.payload.data(), int(b.payload.size())) != int(b.payload.size())) {
                problem = "cannot read an index box";
                break;
            }
        }
        boxes.push_back(std::move(b));
        at += size;
    }
    if (problem.empty() && in->error < 0) problem = "reading failed: " + av_text(in->error);
    avio_closep(&in);
    return problem;
}

// Track ids, time scales, kinds and fragment defaults from the first index.
bool read_tracks(const top_box& moov, std::vector<track>& tracks, std::uint32_t& movie_timescale) {
    std::vector<box> top;
    if (!children(moov.payload.data(), moov.payload.size(), top)) return false;
    const box* mvhd = find(top, fourcc("mvhd"));
    if (mvhd == nullptr) return false;
    reader r{mvhd->payload, mvhd->size};
    const std::uint32_t version = r.u32() >> 24;
    r.skip(version == 1 ? 16 : 8);
    movie_timescale = r.u32();
    std::vector<box> inner, inner2;
    for (const box& b : top) {
        if (b.type != fourcc("trak")) continue;
        track t;
        if (!children(b.payload, b.size, inner)) return false;
        const box* tkhd = find(inner, fourcc("tkhd"));
        const box* mdia = find(inner, fourcc("mdia"));
        if (tkhd == nullptr || mdia == nullptr) return false;
        reader tr{tkhd->payload, tkhd->size};
        tr.skip(tr.u32() >> 24 == 1 ? 16 : 8);
        t.id = tr.u32();
        if (!children(mdia->payload, mdia->size, inner2)) return false;
        const box* mdhd = find(inner2, fourcc("mdhd"));
        const box* hdlr = find(inner2, fourcc("hdlr"));
        if (mdhd == nullptr || hdlr == nullptr) return false;
        reader mr{mdhd->payload, mdhd->size};
        mr.skip(mr.u32() >> 24 == 1 ? 16 : 8);
        t.timescale = mr.u32();
        reader hr{hdlr->payload, hdlr->size};
        hr.skip(8);
        t.sound = hr.u32() == fourcc("soun");
        if (!tr.ok || !mr.ok || !hr.ok || t.timescale == 0) return false;
        tracks.push_back(std::move(t));
    }
    if (const box* mvex = find(top, fourcc("mvex")); mvex != nullptr) {
        if (!children(mvex->payload, mvex->size, inner)) return false;
        for (const box& b : inner) {
            if (b.type != fourcc("trex")) continue;
            reader x{b.payload, b.size};
            x.skip(4);
            track* t = track_by_id(tracks, x.u32());
            x.skip(4);
            if (t != nullptr) {
                t->default_duration = x.u32();
                t->default_size = x.u32();
                t->default_flags = x.u32();
            }
            if (!x.ok) return false;
        }
    }
    return movie_timescale != 0 && !tracks.empty();
}

// Adds the samples of one fragment to their tracks.
bool read_fragment(const top_box& moof, std::vector<track>& tracks) {
    std::vector<box> trafs, parts;
    if (!children(moof.payload.data(), moof.payload.size(), trafs)) return false;
    std::int64_t previous_end = moof.position;
    for (const box& traf : trafs) {
        if (traf.type != fourcc("traf")) continue;
        if (!children(traf.payload, traf.size, parts)) return false;
        const box* tfhd = find(parts, fourcc("tfhd"));
        if (tfhd == nullptr) return false;
        reader h{tfhd->payload, tfhd->size};
        const std::uint32_t flags = h.u32() & 0xFFFFFF;
        track* t = track_by_id(tracks, h.u32());
        if (t == nullptr) return false;
        std::int64_t base = (flags & 0x20000) != 0 ? moof.position : previous_end;
        if (flags & 0x1) base = std::int64_t(h.u64());
        if (flags & 0x2) h.skip(4);
        const std::uint32_t default_duration = (flags & 0x8) ? h.u32() : t->default_duration;
        const std::uint32_t default_size = (flags & 0x10) ? h.u32() : t->default_size;
        const std::uint32_t default_flags = (flags & 0x20) ? h.u32() : t->default_flags;
        if (!h.ok) return false;
        if (const box* tfdt = find(parts, fourcc("tfdt")); tfdt != nullptr) {
            reader d{tfdt->payload, tfdt->size};
            const std::uint32_t version = d.u32() >> 24;
            t->decode_time = std::int64_t(version == 1 ? d.u64() : d.u32());
            if (!d.ok) return false;
        }
        if (!t->have_decode_time) {
            t->have_decode_time = true;
            t->first_decode_time = t->decode_time;
        }
        std::int64_t next = base;
        for (const box& trun : parts) {
            if (trun.type != fourcc("trun")) continue;
            reader r{trun.payload, trun.size};
            const std::uint32_t word = r.u32();
            const std::uint32_t version = word >> 24;
            const std::uint32_t run_flags = word & 0xFFFFFF;
            const std::uint32_t count = r.u32();
            if (run_flags & 0x1) next = base + std::int32_t(r.u32());
            const bool have_first_flags = (run_flags & 0x4) != 0;
            const std::uint32_t first_flags = have_first_flags ? r.u32() : 0;
            if (!r.ok || count > trun.size) return false;
            if (count > 0) t->chunks.push_back(chunk{next, count});
            for (std::uint32_t i = 0; i < count; ++i) {
                sample s{};
                s.offset = next;
                s.duration = (run_flags & 0x100) ? r.u32() : default_duration;
                s.size = (run_flags & 0x200) ? r.u32() : default_size;
                std::uint32_t sample_flags = (run_flags & 0x400) ? r.u32() : default_flags;
                if (i == 0 && have_first_flags) sample_flags = first_flags;
                if (run_flags & 0x800) {
                    const std::uint32_t raw = r.u32();
                    s.composition =
                        version == 0 ? std::int32_t(std::min(raw, 0x7FFFFFFFu)) : std::int32_t(raw);
                }
                s.sync = (sample_flags & k_non_sync) == 0;
                if (!r.ok) return false;
                next += s.size;
                t->decode_time += s.duration;
                t->samples.push_back(s);
            }
        }
        previous_end = next;
    }
    return true;
}

struct timing {
    std::int64_t media_duration = 0;  // sum of sample durations, media time scale
    std::int64_t media_start = 0;     // first presented instant, media time scale
    std::int64_t shown = 0;           // presented length, movie time scale
};

timing time_track(const track& t, std::uint32_t movie_timescale, std::int64_t sound_skip,
                  std::int64_t sound_length) {
    timing out;
    std::int64_t dts = t.first_decode_time;
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t last = std::numeric_limits<std::int64_t>::min();
    for (const sample& s : t.samples) {
        first = std::min(first, dts + s.composition);
        last = std::max(last, dts + s.composition + std::int64_t(s.duration));
        dts += s.duration;
        out.media_duration += s.duration;
    }
    if (t.samples.empty()) return out;
    if (t.sound) {
        // The encoder's priming at the start and its padding at the end are
        // not part of the recording.
        first = std::min(first + sound_skip, last);
        if (sound_length > 0) last = std::min(last, first + sound_length);
    }
    out.media_start = first;
    out.shown = av_rescale(last - first, movie_timescale, t.timescale);
    return out;
}

// mvhd, tkhd and mdhd: version 0 keeps 32-bit times, version 1 64-bit ones.
// The box is written again with a new duration, in version 1 only when a
// value needs it.
bool put_timed_box(writer_buffer& w, const box& b, bool is_tkhd, std::uint64_t duration) {
    reader r{b.payload, b.size};
    const std::uint32_t word = r.u32();
    const int width = (word >> 24) == 1 ? 8 : 4;
    const std::uint64_t created = r.read(width);
    const std::uint64_t modified = r.read(width);
    const std::uint32_t scale_or_id = r.u32();
    const std::uint32_t reserved = is_tkhd ? r.u32() : 0;
    r.read(width);
    if (!r.ok) return false;
    const bool wide = created > k_max_u32 || modified > k_max_u32 || duration > k_max_u32;
    const std::size_t at = w.begin_full(b.type, wide ? 1 : 0, word & 0xFFFFFF);
    if (wide) {
        w.u64(created);
        w.u64(modified);
    } else {
        w.u32(std::uint32_t(created));
        w.u32(std::uint32_t(modified));
    }
    w.u32(scale_or_id);
    if (is_tkhd) w.u32(reserved);
    if (wide) {
        w.u64(duration);
    } else {
        w.u32(std::uint32_t(duration));
    }
    w.raw(b.payload + r.at, b.size - r.at);
    w.end(at);
    return true;
}

void put_sample_tables(writer_buffer& w, const track& t) {
    // Decoding times, run-length coded.
    std::size_t at = w.begin_full(fourcc("stts"), 0, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    for (const sample& s : t.samples) {
        if (!runs.empty() && runs.back().second == s.duration) {
            ++runs.back().first;
        } else {
            runs.emplace_back(1, s.duration);
        }
    }
    w.u32(std::uint32_t(runs.size()));
    for (const auto& [count, value] : runs) {
        w.u32(count);
        w.u32(value);
    }
    w.end(at);

    // Presentation offsets, when any sample has one.
    bool any_offset = false;
    bool negative = false;
    for (const sample& s : t.samples) {
        any_offset = any_offset || s.composition != 0;
        negative = negative || s.composition < 0;
    }
    if (any_offset) {
        at = w.begin_full(fourcc("ctts"), negative ? 1 : 0, 0);
        runs.clear();
        for (const sample& s : t.samples) {
            const std::uint32_t value = std::uint32_t(s.composition);
            if (!runs.empty() && runs.back().second == value) {
                ++runs.back().first;
            } else {
                runs.emplace_back(1, value);
            }
        }
        w.u32(std::uint32_t(runs.size()));
        for (const auto& [count, value] : runs) {
            w.u32(count);
            w.u32(value);
        }
        w.end(at);
    }

    // Sync samples, unless every sample is one.
    const bool all_sync =
        std::all_of(t.samples.begin(), t.samples.end(), [](const sample& s) { return s.sync; });
    if (!all_sync) {
        at = w.begin_full(fourcc("stss"), 0, 0);
        const std::size_t count_at = w.bytes.size();
        w.u32(0);
        std::uint32_t count = 0;
        for (std::size_t i = 0; i < t.samples.size(); ++i) {
            if (!t.samples[i].sync) continue;
            w.u32(std::uint32_t(i + 1));
            ++count;
        }
        for (int i = 0; i < 4; ++i) {
            w.bytes[count_at + std::size_t(i)] = std::uint8_t(count >> (24 - 8 * i));
        }
        w.end(at);
    }

    // Chunks: each run of a fragment is one chunk.
    at = w.begin_full(fourcc("stsc"), 0, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> chunk_runs;  // first chunk, samples
    for (std::size_t i = 0; i < t.chunks.size(); ++i) {
        if (chunk_runs.empty() || chunk_runs.back().second != t.chunks[i].samples) {
            chunk_runs.emplace_back(std::uint32_t(i + 1), t.chunks[i].samples);
        }
    }
    w.u32(std::uint32_t(chunk_runs.size()));
    for (const auto& [first, count] : chunk_runs) {
        w.u32(first);
        w.u32(count);
        w.u32(1);
    }
    w.end(at);

    // Sample sizes.
    at = w.begin_full(fourcc("stsz"), 0, 0);
    const bool same_size = !t.samples.empty() &&
                           std::all_of(t.samples.begin(), t.samples.end(), [&t](const sample& s) {
                               return s.size == t.samples.front().size;
                           });
    w.u32(same_size ? t.samples.front().size : 0);
    w.u32(std::uint32_t(t.samples.size()));
    if (!same_size) {
        for (const sample& s : t.samples) w.u32(s.size);
    }
    w.end(at);

    // Chunk offsets, 64-bit where the file needs it.
    const bool wide = std::any_of(t.chunks.begin(), t.chunks.end(), [](const chunk& c) {
        return c.offset > std::int64_t(k_max_u32);
    });
    at = w.begin_full(wide ? fourcc("co64") : fourcc("stco"), 0, 0);
    w.u32(std::uint32_t(t.chunks.size()));
    for (const chunk& c : t.chunks) {
        if (wide) {
            w.u64(std::uint64_t(c.offset));
        } else {
            w.u32(std::uint32_t(c.offset));
        }
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

// Copies a box, replacing the children that the full index changes.
bool put_trak(writer_buffer& w, const box& trak, const track& t, const timing& time,
              std::uint32_t movie_timescale);

bool put_container(writer_buffer& w, const box& b, const track& t, const timing& time,
                   std::uint32_t movie_timescale) {
    std::vector<box> parts;
    if (!children(b.payload, b.size, parts)) return false;
    const std::size_t at = w.begin(b.type);
    for (const box& part : parts) {
        if (part.type == fourcc("mdhd")) {
            if (!put_timed_box(w, part, false, std::uint64_t(time.media_duration))) return false;
        } else if (part.type == fourcc("minf") || part.type == fourcc("stbl")) {
            if (!put_container(w, part, t, time, movie_timescale)) return false;
        } else if (b.type == fourcc("stbl") && is_sample_table(part.type)) {
            continue;
        } else {
            w.raw(part.start, part.total);
            if (part.type == fourcc("stsd")) put_sample_tables(w, t);
        }
    }
    w.end(at);
    return true;
}

bool put_trak(writer_buffer& w, const box& trak, const track& t, const timing& time,
              std::uint32_t movie_timescale) {
    std::vector<box> parts;
    if (!children(trak.payload, trak.size, parts)) return false;
    const std::size_t at = w.begin(fourcc("trak"));
    for (const box& part : parts) {
        if (part.type == fourcc("tkhd")) {
            if (!put_timed_box(w, part, true, std::uint64_t(time.shown))) return false;
            // One edit: the track shows from its first presented instant on.
            const bool wide = std::uint64_t(time.shown) > k_max_u32 || time.media_start > INT32_MAX;
            const std::size_t edts = w.begin(fourcc("edts"));
            const std::size_t elst = w.begin_full(fourcc("elst"), wide ? 1 : 0, 0);
            w.u32(1);
            if (wide) {
                w.u64(std::uint64_t(time.shown));
                w.u64(std::uint64_t(time.media_start));
            } else {
                w.u32(std::uint32_t(time.shown));
                w.u32(std::uint32_t(time.media_start));
            }
            w.u32(0x00010000);  // rate 1.0
            w.end(elst);
            w.end(edts);
        } else if (part.type == fourcc("edts")) {
            continue;
        } else if (part.type == fourcc("mdia")) {
            if (!put_container(w, part, t, time, movie_timescale)) return false;
        } else {
            w.raw(part.start, part.total);
        }
    }
    w.end(at);
    return true;
}

bool build_index(const top_box& moov, const std::vector<track>& tracks,
                 std::uint32_t movie_timescale, std::int64_t sound_skip, std::int64_t sound_length,
                 writer_buffer& w) {
    std::vector<box> top;
    if (!children(moov.payload.data(), moov.payload.size(), top)) return false;
    std::vector<timing> times;
    std::int64_t longest = 0;
    for (const track& t : tracks) {
        times.push_back(time_track(t, movie_timescale, sound_skip, sound_length));
        longest = std::max(longest, times.back().shown);
    }
    const std::size_t at = w.begin(fourcc("moov"));
    std::size_t index = 0;
    for (const box& b : top) {
        if (b.type == fourcc("mvhd")) {
            if (!put_timed_box(w, b, false, std::uint64_t(longest))) return false;
        } else if (b.type == fourcc("trak")) {
            if (index >= tracks.size()) return false;
            if (!put_trak(w, b, tracks[index], times[index], movie_timescale)) return false;
            ++index;
        } else if (b.type != fourcc("mvex")) {
            w.raw(b.start, b.total);
        }
    }
    w.end(at);
    return true;
}

AVIOContext* open_for_patching(const std::string& url, std::string& problem) {
    AVIOContext* out = nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "truncate", "0", 0);
    const int result = avio_open2(&out, url.c_str(), AVIO_FLAG_WRITE, nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
        problem = "cannot open the file for patching: " + av_text(result);
        return nullptr;
    }
    return out;
}

void put_type(AVIOContext* out, std::int64_t position, std::uint32_t type) {
    avio_seek(out, position + 4, SEEK_SET);
    avio_wb32(out, type);
    avio_flush(out);
}

}  // namespace

std::string finish_file(const std::string& url, std::int64_t sound_skip,
                        std::int64_t sound_length) {
    std::vector<top_box> boxes;
    std::int64_t end = 0;
    std::string problem = read_layout(url, boxes, end);
    if (!problem.empty()) return problem;

    const top_box* moov = nullptr;
    for (const top_box& b : boxes) {
        if (b.type == fourcc("moov")) {
            if (moov != nullptr) return "the file has two indexes";
            moov = &b;
        }
    }
    if (moov == nullptr) return "the file has no index";
    std::vector<track> tracks;
    std::uint32_t movie_timescale = 0;
    if (!read_tracks(*moov, tracks, movie_timescale)) return "the index cannot be read";
    bool fragments = false;
    for (const top_box& b : boxes) {
        if (b.type != fourcc("moof")) continue;
        fragments = true;
        if (!read_fragment(b, tracks)) return "a fragment header cannot be read";
    }
    // Nothing recorded: the file stays as the muxer left it.
    if (!fragments) return {};

    writer_buffer index;
    if (!build_index(*moov, tracks, movie_timescale, sound_skip, sound_length, index)) {
        return "the full index cannot be built";
    }
    // Written as a free box first: until everything else is in place the
    // fragmented form stays the one that counts.
    index.bytes[4] = 'f';
    index.bytes[5] = 'r';
    index.bytes[6] = 'e';
    index.bytes[7] = 'e';

    AVIOContext* out = open_for_patching(url, problem);
    if (out == nullptr) return problem;
    avio_seek(out, end, SEEK_SET);
    avio_write(out, index.bytes.data(), int(index.bytes.size()));
    avio_flush(out);
    if (out->error < 0) {
        problem = "cannot write the full index: " + av_text(out->error);
        avio_closep(&out);
        return problem;
    }
    // Fragments from the last to the first, so that a file interrupted here
    // still plays from its start; then the fragment index at the end, the
    // first index, and last of all the full index comes alive.
    for (auto b = boxes.rbegin(); b != boxes.rend(); ++b) {
        if (b->type == fourcc("moof") || b->type == fourcc("mfra")) {
            put_type(out, b->position, fourcc("free"));
        }
    }
    put_type(out, moov->position, fourcc("free"));
    put_type(out, end, fourcc("moov"));
    // The brands the muxer chose announce fragments; an ordinary file says so
    // too, in the same room.
    if (!boxes.empty() && boxes.front().type == fourcc("ftyp") && boxes.front().size == 28) {
        avio_seek(out, 8, SEEK_SET);
        for (const std::uint32_t brand :
             {fourcc("isom"), 0x200u, fourcc("isom"), fourcc("avc1"), fourcc("mp41")}) {
            avio_wb32(out, brand);
        }
        avio_flush(out);
    }
    if (out->error < 0) problem = "patching the file failed: " + av_text(out->error);
    avio_closep(&out);
    return problem;
}

void cut_torn_fragment(const std::string& url, const std::vector<std::int64_t>& complete_ends) {
    std::string problem;
    AVIOContext* out = open_for_patching(url, problem);
    if (out == nullptr) return;
    const std::int64_t size = avio_size(out);
    std::int64_t last = -1;
    for (const std::int64_t e : complete_ends) {
        if (e <= size) last = std::max(last, e);
    }
    // Overwriting bytes already in the file needs no room on the disk.
    if (last > 0 && size - last >= 8 && size - last <= std::int64_t(k_max_u32)) {
        avio_seek(out, last, SEEK_SET);
        avio_wb32(out, std::uint32_t(size - last));
        avio_wb32(out, fourcc("free"));
        avio_flush(out);
    }
    avio_closep(&out);
}

}  // namespace Selmet::Palvex::detail
