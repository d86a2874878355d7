// A first index and fragment headers made box by box, with the fields and
// flags chosen by the caller: for the index code's tests and its fuzzer.
#pragma once

#include <cstdint>
#include <vector>

#include "boxes.h"

namespace synthetic {

using namespace Selmet::Palvex::detail;

struct track_spec {
    std::uint32_t id = 1;
    std::uint32_t timescale = 12800;
    bool sound = false;
    std::uint32_t version = 0;  // of tkhd and mdhd
    std::uint32_t default_duration = 0;
    std::uint32_t default_size = 0;
    std::uint32_t default_flags = 0;
};

// A full box with times of 32 or 64 bits: created, modified, one field (time
// scale or track id, with tkhd's reserved word after it), duration.
inline void put_timed(byte_writer& w, const char (&type)[5], std::uint32_t version,
                      std::uint32_t field, bool tkhd, std::uint64_t created = 0) {
    const std::size_t at = w.begin_full(fourcc(type), version, 0);
    for (int i = 0; i < 2; ++i) version == 1 ? w.u64(created) : w.u32(std::uint32_t(created));
    w.u32(field);
    if (tkhd) w.u32(0);
    version == 1 ? w.u64(0) : w.u32(0);
    for (int i = 0; i < 8; ++i) w.u32(0);  // the rest of the box, copied as it is
    w.end(at);
}

inline byte_vector moov_payload(const std::vector<track_spec>& tracks,
                                std::uint32_t mvhd_version = 0, std::uint64_t created = 0) {
    byte_writer w;
    put_timed(w, "mvhd", mvhd_version, 1000, false, created);
    for (const track_spec& t : tracks) {
        const std::size_t trak = w.begin(fourcc("trak"));
        put_timed(w, "tkhd", t.version, t.id, true, created);
        const std::size_t mdia = w.begin(fourcc("mdia"));
        put_timed(w, "mdhd", t.version, t.timescale, false, created);
        const std::size_t hdlr = w.begin_full(fourcc("hdlr"), 0, 0);
        w.u32(0);
        w.u32(t.sound ? fourcc("soun") : fourcc("vide"));
        for (int i = 0; i < 3; ++i) w.u32(0);
        w.u8(0);
        w.end(hdlr);
        const std::size_t minf = w.begin(fourcc("minf"));
        const std::size_t stbl = w.begin(fourcc("stbl"));
        const std::size_t stsd = w.begin_full(fourcc("stsd"), 0, 0);
        w.u32(0);
        w.end(stsd);
        for (const std::uint32_t empty : {fourcc("stts"), fourcc("stsc"), fourcc("stco")}) {
            const std::size_t b = w.begin_full(empty, 0, 0);
            w.u32(0);
            w.end(b);
        }
        w.end(stbl);
        w.end(minf);
        w.end(mdia);
        w.end(trak);
    }
    const std::size_t mvex = w.begin(fourcc("mvex"));
    for (const track_spec& t : tracks) {
        const std::size_t trex = w.begin_full(fourcc("trex"), 0, 0);
        w.u32(t.id);
        w.u32(1);
        w.u32(t.default_duration);
        w.u32(t.default_size);
        w.u32(t.default_flags);
        w.end(trex);
    }
    w.end(mvex);
    return w.take();
}

struct sample_spec {
    std::uint32_t duration;
    std::uint32_t size;
    std::uint32_t flags;
    std::int32_t composition;
};

// One traf: tfhd with the given flags and defaults, tfdt, one trun that
// carries the fields its flags name.
inline void put_traf(byte_writer& w, std::uint32_t track, std::uint32_t tfhd_flags_set,
                     const sample_spec& defaults, std::uint64_t base, std::uint32_t trun_flags_set,
                     std::uint32_t trun_version, std::int32_t data_offset,
                     const std::vector<sample_spec>& samples, std::uint64_t decode_time = 0) {
    const std::size_t traf = w.begin(fourcc("traf"));
    const std::size_t tfhd = w.begin_full(fourcc("tfhd"), 0, tfhd_flags_set);
    w.u32(track);
    if (tfhd_flags_set & tfhd_flags::base_data_offset) w.u64(base);
    if (tfhd_flags_set & tfhd_flags::default_sample_duration) w.u32(defaults.duration);
    if (tfhd_flags_set & tfhd_flags::default_sample_size) w.u32(defaults.size);
    if (tfhd_flags_set & tfhd_flags::default_sample_flags) w.u32(defaults.flags);
    w.end(tfhd);
    const std::size_t tfdt = w.begin_full(fourcc("tfdt"), 1, 0);
    w.u64(decode_time);
    w.end(tfdt);
    const std::size_t trun = w.begin_full(fourcc("trun"), trun_version, trun_flags_set);
    w.u32(std::uint32_t(samples.size()));
    if (trun_flags_set & trun_flags::data_offset) w.u32(std::uint32_t(data_offset));
    for (const sample_spec& s : samples) {
        if (trun_flags_set & trun_flags::sample_duration) w.u32(s.duration);
        if (trun_flags_set & trun_flags::sample_size) w.u32(s.size);
        if (trun_flags_set & trun_flags::sample_flags) w.u32(s.flags);
        if (trun_flags_set & trun_flags::sample_composition_offset)
            w.u32(std::uint32_t(s.composition));
    }
    w.end(trun);
    w.end(traf);
}

}  // namespace synthetic
