// The full index the writer makes from fragments made here box by box: its
// tables, times, edits and widths, its size as counted while recording, the
// index of the first fragments only, and the header's length box.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "index.h"
#include "index_bytes.h"
#include "test_support.h"

namespace {

using namespace index_test;

// The one edit of a track of a full index: how long it shows, and the media
// time it starts at.
std::pair<std::uint64_t, std::int64_t> edit(byte_span moov, std::size_t track) {
    std::vector<box> top;
    split_boxes(moov, top);
    std::size_t index = 0;
    for (const box& b : top) {
        if (b.type != fourcc("trak") || index++ != track) continue;
        byte_reader r(find_path(b.payload, {"edts", "elst"}));
        std::uint32_t version = 0, flags = 0;
        r.full_header(version, flags);
        r.skip(4);  // entries
        const std::uint64_t shown = r.uint(version == 1 ? 8 : 4);
        const auto start = std::int64_t(r.uint(version == 1 ? 8 : 4));
        return {shown, start};
    }
    return {0, -1};
}

TEST(index_writing, version_0_and_1_headers_are_read_and_written_back_with_their_widths) {
    for (const std::uint32_t version : {0u, 1u}) {
        track_spec t;
        t.version = version;
        t.id = 7;
        // A creation time past 32 bits can only stay in a version 1 box.
        const std::uint64_t created = version == 1 ? k_4_gib + 5 : 5;
        const byte_vector moov = moov_payload({t}, version, created);
        byte_writer w;
        put_traf(w, 7, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video);
        const movie m = read(moov, {w.take()});
        ASSERT_EQ(m.timescale, 1000u) << version;
        ASSERT_EQ(m.tracks[0].id, 7u) << version;
        ASSERT_EQ(m.tracks[0].timescale, 12800u) << version;

        byte_vector full;
        ASSERT_FALSE(build_moov(moov, m, {}, full));
        const byte_span mvhd = find_path(byte_span(full).subspan(8), {"mvhd"});
        const byte_span tkhd = find_path(byte_span(full).subspan(8), {"trak", "tkhd"});
        const byte_span mdhd = find_path(byte_span(full).subspan(8), {"trak", "mdia", "mdhd"});
        for (const byte_span b : {mvhd, tkhd, mdhd}) {
            byte_reader r(b);
            std::uint32_t v = 0, flags = 0;
            r.full_header(v, flags);
            EXPECT_EQ(v, version);
            EXPECT_EQ(r.uint(v == 1 ? 8 : 4), created);
        }
        // Durations: 4 samples of 512 ticks at 12800 per second is 160 ms.
        EXPECT_EQ(timed_header(mdhd, false).second, 2048u);
        EXPECT_EQ(timed_header(tkhd, true).second, 160u);
        EXPECT_EQ(timed_header(mvhd, false).second, 160u);
    }
}

TEST(index_writing, chunk_offsets_past_4_gib_take_64_bits) {
    byte_writer w;
    put_traf(w, 1, tfhd_flags::base_data_offset, {}, 5 * k_4_gib, k_all_fields, 0, 16, k_video);
    const movie m = read(moov_payload({track_spec{}}), {w.take()}, std::int64_t(6 * k_4_gib));
    ASSERT_EQ(m.tracks[0].chunks.size(), 1u);
    EXPECT_EQ(m.tracks[0].chunks[0].offset, std::int64_t(5 * k_4_gib + 16));
    byte_vector full;
    ASSERT_FALSE(build_moov(moov_payload({track_spec{}}), m, {}, full));
    EXPECT_TRUE(
        find_path(byte_span(full).subspan(8), {"trak", "mdia", "minf", "stbl", "stco"}).empty());
    byte_reader co64(
        find_path(byte_span(full).subspan(8), {"trak", "mdia", "minf", "stbl", "co64"}));
    co64.skip(4);
    EXPECT_EQ(co64.u32(), 1u);
    EXPECT_EQ(co64.u64(), 5 * k_4_gib + 16);
    EXPECT_TRUE(co64.ok());
}

TEST(index_writing, negative_composition_offsets_give_a_signed_table_and_the_earliest_start) {
    std::vector<sample_spec> samples = k_video;
    samples[0].composition = 0;
    samples[1].composition = 1024;
    samples[2].composition = -512;
    samples[3].composition = -512;
    byte_writer w;
    put_traf(w, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 1, 100, samples);
    const movie m = read(moov_payload({track_spec{}}), {w.take()});
    ASSERT_EQ(m.tracks[0].samples.size(), 4u);
    EXPECT_EQ(m.tracks[0].samples[2].composition, -512);
    byte_vector full;
    ASSERT_FALSE(build_moov(moov_payload({track_spec{}}), m, {}, full));
    // Presented times: 0, 1536, 512, 1024: the edit starts at 0.
    EXPECT_EQ(edit(byte_span(full).subspan(8), 0).second, 0);
    byte_reader ctts(
        find_path(byte_span(full).subspan(8), {"trak", "mdia", "minf", "stbl", "ctts"}));
    std::uint32_t version = 0, flags = 0;
    ctts.full_header(version, flags);
    EXPECT_EQ(version, 1u);
    ASSERT_EQ(ctts.u32(), 3u);  // runs: 0, 1024, -512 twice
    const std::vector<std::pair<std::uint32_t, std::int32_t>> runs = {{1, 0}, {1, 1024}, {2, -512}};
    for (const auto& [count, value] : runs) {
        EXPECT_EQ(ctts.u32(), count);
        EXPECT_EQ(std::int32_t(ctts.u32()), value);
    }
    // The unsigned version 0 keeps no negative value.
    byte_writer v0;
    put_traf(v0, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, samples);
    const movie unsigned_offsets = read(moov_payload({track_spec{}}), {v0.take()});
    EXPECT_GT(unsigned_offsets.tracks[0].samples[2].composition, 0);
}

// The muxer stretches the first sound sample to cover the late start of the
// picture, and shortens the last one. In the full index each lasts what it
// decodes to, and the edit starts after the encoder's priming of 1024 decoded
// samples.
TEST(index_writing, sound_priming_counts_decoded_samples_not_ticks_of_the_first_sample) {
    track_spec sound;
    sound.id = 2;
    sound.timescale = 48000;
    sound.sound = true;
    std::vector<sample_spec> samples(470, sample_spec{1024, 10, 0, 0});
    samples[0].duration = 3840;
    samples[469].duration = 768;
    byte_writer w;
    put_traf(w, 2, tfhd_flags::default_base_is_moof, {}, 0,
             trun_flags::data_offset | trun_flags::sample_duration | trun_flags::sample_size, 0,
             100, samples);
    const movie m = read(moov_payload({sound}), {w.take()});
    const auto edit_with = [&](const sound_timing& timing) {
        byte_vector full;
        EXPECT_FALSE(build_moov(moov_payload({sound}), m, timing, full));
        return edit(byte_span(full).subspan(8), 0);
    };
    const sound_timing timing{1024, 1024, 48000, 480000};
    byte_vector full;
    ASSERT_FALSE(build_moov(moov_payload({sound}), m, timing, full));
    const byte_span moov = byte_span(full).subspan(8);
    // Every recorded sample, up to the end of the stored sample that holds
    // the last one: 469 of them after the priming, in the movie's scale,
    // now the sound's, and a tick more; the media starts after the priming.
    EXPECT_EQ(edit(moov, 0), std::make_pair(std::uint64_t(480257), std::int64_t(1024)));
    byte_reader stts(find_path(moov, {"trak", "mdia", "minf", "stbl", "stts"}));
    stts.skip(4);
    EXPECT_EQ(stts.u32(), 1u);  // one run: every sample lasts 1024
    EXPECT_EQ(stts.u32(), 470u);
    EXPECT_EQ(stts.u32(), 1024u);
    EXPECT_EQ(timed_header(find_path(moov, {"trak", "mdia", "mdhd"}), false).second, 470u * 1024);

    // Priming of more than one stored sample, and a part of one.
    EXPECT_EQ(edit_with({2048, 1024, 48000, 0}).second, 2048);
    EXPECT_EQ(edit_with({1536, 1024, 48000, 0}).second, 1536);
    // A recording shorter than its priming shows nothing, and nothing breaks.
    EXPECT_EQ(edit_with({1024 * 1000, 1024, 48000, 10}).first, 0u);
    // A picture track keeps the durations its fragments give.
    track_spec picture = sound;
    picture.sound = false;
    byte_writer p;
    put_traf(p, 2, tfhd_flags::default_base_is_moof, {}, 0,
             trun_flags::data_offset | trun_flags::sample_duration | trun_flags::sample_size, 0,
             100, samples);
    ASSERT_FALSE(build_moov(moov_payload({picture}), read(moov_payload({picture}), {p.take()}),
                            timing, full));
    byte_reader kept(
        find_path(byte_span(full).subspan(8), {"trak", "mdia", "minf", "stbl", "stts"}));
    kept.skip(4);
    EXPECT_EQ(kept.u32(), 3u);  // 3840, 1024 and 768
}

// How much shorter than counted the headers of a full index came out: the
// count takes mvhd, tkhd and mdhd in version 1 (12 bytes more each) and the
// edit in version 1 (8 more), whatever the index needed.
std::int64_t narrow_headers(byte_span moov) {
    const auto narrow = [](byte_span b) { return !b.empty() && b[0] == 0; };
    std::int64_t bytes = narrow(find_path(moov, {"mvhd"})) ? 12 : 0;
    std::vector<box> top;
    split_boxes(moov, top);
    for (const box& trak : top) {
        if (trak.type != fourcc("trak")) continue;
        bytes += narrow(find_path(trak.payload, {"tkhd"})) ? 12 : 0;
        bytes += narrow(find_path(trak.payload, {"mdia", "mdhd"})) ? 12 : 0;
        bytes += narrow(find_path(trak.payload, {"edts", "elst"})) ? 8 : 0;
    }
    return bytes;
}

// The size counted while recording, sample by sample and run by run, is
// what the full index of those fragments takes, but for headers written
// narrow and sound samples retimed to one length; whichever tables each
// track needs, and whether the fragments were read whole or times only.
TEST(index_size, is_what_the_full_index_takes_but_for_headers_written_narrow) {
    track_spec sound;
    sound.id = 2;
    sound.timescale = 48000;
    sound.sound = true;
    track_spec fine = sound;
    fine.sound = false;
    // Fragments of one track, each decoded after the one before.
    const auto moofs = [](std::uint32_t track, const std::vector<std::vector<sample_spec>>& runs,
                          std::uint64_t base = 0, std::uint32_t flags = k_all_fields) {
        std::vector<byte_vector> out;
        std::uint64_t time = 0;
        for (const std::vector<sample_spec>& samples : runs) {
            byte_writer w;
            put_traf(w, track,
                     base != 0 ? tfhd_flags::base_data_offset : tfhd_flags::default_base_is_moof,
                     {}, base, flags, 1, 100, samples, time);
            for (const sample_spec& x : samples) time += x.duration;
            out.push_back(w.take());
        }
        return out;
    };
    const std::vector<sample_spec> plain(5, sample_spec{512, 700, 0, 0});
    std::vector<sample_spec> stretched(6, sample_spec{1024, 300, 0, 0});
    stretched[0].duration = 3000;
    stretched[5].duration = 100;
    const std::vector<sample_spec> long_samples(2, sample_spec{2300000000u, 700, 0, 0});
    const std::uint32_t sizes_and_durations =
        trun_flags::data_offset | trun_flags::sample_duration | trun_flags::sample_size;
    struct kind {
        const char* label;
        std::vector<track_spec> tracks;
        std::vector<byte_vector> moofs;
        sound_timing sound;
        std::int64_t retimed = 0;  // bytes of sound runs that the full index joins
        std::int64_t file_size = 1 << 20;
    };
    for (const kind& k : {
             kind{"offsets, sizes and key frames that differ",
                  {track_spec{}},
                  moofs(1, {k_video, k_video, k_video}),
                  {}},
             kind{"one size, every sample a key, no offsets",
                  {track_spec{}},
                  moofs(1, {plain, plain}),
                  {}},
             kind{"runs of different lengths",
                  {track_spec{}},
                  moofs(1, {{plain.begin(), plain.begin() + 3},
                            plain,
                            plain,
                            {plain.begin(), plain.begin() + 2}}),
                  {}},
             kind{"runs past 4 GiB",
                  {track_spec{}},
                  moofs(1, {k_video}, 5 * k_4_gib),
                  {},
                  0,
                  std::int64_t(6 * k_4_gib)},
             kind{"a track without samples", {track_spec{}, sound}, moofs(1, {k_video}), {}},
             kind{"sound retimed",
                  {sound},
                  moofs(2, {stretched}, 0, sizes_and_durations),
                  {1024, 1024, 48000, 4000},
                  2 * 8},
             kind{"26 hours at 48 kHz", {fine}, moofs(2, {long_samples}), {}},
         }) {
        SCOPED_TRACE(k.label);
        const byte_vector first = moov_payload(k.tracks);
        const movie whole = read(first, k.moofs, k.file_size);
        movie times;
        ASSERT_FALSE(read_movie(first, times));
        times.times_only = true;
        for (const byte_vector& f : k.moofs)
            ASSERT_FALSE(add_fragment(f, 1000, k.file_size, times));
        index_skeleton skeleton;
        ASSERT_FALSE(measure_index(first, whole, skeleton));
        byte_vector full;
        ASSERT_FALSE(build_moov(first, whole, k.sound, full));
        const std::int64_t counted = index_size(skeleton, whole);
        EXPECT_EQ(counted, std::int64_t(full.size()) + narrow_headers(byte_span(full).subspan(8)) +
                               k.retimed);
        EXPECT_EQ(index_size(skeleton, times), counted);
    }
}

// The sample tables of a full index, as a player reads them: key frames
// numbered from 1, a constant size given once without a table (and a table
// when sizes differ), and headers that widen to 64-bit times when a
// duration needs it (a recording of more than about 25 hours in the
// picture's time scale).
TEST(index_writing, tables_number_key_frames_from_1_give_a_constant_size_once_and_widen) {
    std::vector<sample_spec> samples(6, sample_spec{512, 700, sample_flags::is_non_sync, 0});
    samples[0].flags = 0;
    samples[3].flags = 0;
    byte_writer w;
    put_traf(w, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, samples);
    movie m = read(moov_payload({track_spec{}}), {w.take()});
    byte_vector full;
    ASSERT_FALSE(build_moov(moov_payload({track_spec{}}), m, {}, full));
    const byte_span stbl = find_path(byte_span(full).subspan(8), {"trak", "mdia", "minf", "stbl"});
    byte_reader stss(find_path(stbl, {"stss"}));
    std::uint32_t version = 0, flags = 0;
    stss.full_header(version, flags);
    ASSERT_EQ(stss.u32(), 2u);
    EXPECT_EQ(stss.u32(), 1u);
    EXPECT_EQ(stss.u32(), 4u);
    byte_reader same(find_path(stbl, {"stsz"}));
    same.full_header(version, flags);
    EXPECT_EQ(same.u32(), 700u);  // the one size
    EXPECT_EQ(same.u32(), 6u);    // samples
    EXPECT_EQ(same.left(), 0u);   // and no table

    // Sizes that differ: size 0 and one entry per sample.
    m.tracks[0].samples[4].size = 9;
    ASSERT_FALSE(build_moov(moov_payload({track_spec{}}), m, {}, full));
    byte_reader table(
        find_path(byte_span(full).subspan(8), {"trak", "mdia", "minf", "stbl", "stsz"}));
    table.full_header(version, flags);
    EXPECT_EQ(table.u32(), 0u);
    ASSERT_EQ(table.u32(), 6u);
    for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(table.u32(), i == 4 ? 9u : 700u);

    // 26 hours at 48000 ticks a second passes 32 bits: every header that
    // carries the duration becomes version 1 and keeps the whole of it.
    track_spec fine;
    fine.timescale = 48000;
    m = read(moov_payload({fine}), {});
    m.timescale = 48000;
    const std::uint64_t ticks = 26ull * 3600 * 48000;
    m.tracks[0].samples.assign(1, sample{700, std::uint32_t(ticks / 2), 0, true});
    m.tracks[0].samples.push_back(sample{700, std::uint32_t(ticks - ticks / 2), 0, true});
    m.tracks[0].chunks = {chunk{1100, 2}};
    ASSERT_FALSE(build_moov(moov_payload({fine}), m, {}, full));
    const byte_span moov = byte_span(full).subspan(8);
    const auto header = timed_header;
    EXPECT_EQ(header(find_path(moov, {"trak", "mdia", "mdhd"}), false), std::make_pair(1u, ticks));
    EXPECT_EQ(header(find_path(moov, {"trak", "tkhd"}), true), std::make_pair(1u, ticks));
    EXPECT_EQ(header(find_path(moov, {"mvhd"}), false), std::make_pair(1u, ticks));
}

// The header's length box, wherever the muxer's header puts mvex: the rest
// of the header as it was, the length readable and writable in place, and
// its 8 bytes never across a sector.
TEST(length_box, goes_first_into_mvex_and_its_field_stays_within_one_sector) {
    std::vector<track_spec> specs(2);
    specs[1].id = 2;
    specs[1].sound = true;
    const byte_vector moov = moov_payload(specs);
    std::int64_t padded = 0;
    for (std::uint32_t filler = 0; filler < 520; ++filler) {
        byte_writer w;
        const std::size_t ftyp = w.begin(fourcc("ftyp"));
        for (std::uint32_t i = 0; i < filler; ++i) w.u8(0x61);
        w.end(ftyp);
        const std::size_t at = w.begin(fourcc("moov"));
        w.raw(moov);
        w.end(at);
        const byte_vector header = w.take();
        byte_vector out;
        std::int64_t field = 0;
        ASSERT_FALSE(add_length_box(header, out, field)) << filler;
        ASSERT_EQ(field / 512, (field + 7) / 512) << filler;
        const std::int64_t grown = std::int64_t(out.size() - header.size());
        ASSERT_TRUE(grown == k_length_box_size || grown == k_length_box_size + 8) << filler;
        padded += grown != k_length_box_size;
        std::vector<box> top;
        ASSERT_TRUE(split_boxes(out, top));
        ASSERT_EQ(top.size(), 2u);
        ASSERT_EQ(top[1].type, fourcc("moov"));
        EXPECT_EQ(palvex_test::told_length(top[1].payload), 0);
        for (std::int64_t i = 0; i < 8; ++i) out[std::size_t(field + i)] = std::uint8_t(i + 1);
        EXPECT_EQ(palvex_test::told_length(top[1].payload), 0x0102030405060708);
        // The index reads as before: its tracks and their fragment defaults.
        movie before, after;
        ASSERT_FALSE(read_movie(moov, before));
        ASSERT_FALSE(read_movie(top[1].payload, after));
        EXPECT_EQ(after.tracks.size(), before.tracks.size());
        EXPECT_EQ(palvex_test::told_length(moov), -1);
        // Everything but the new boxes is the same.
        std::vector<box> children;
        ASSERT_TRUE(split_boxes(top[1].payload, children));
        byte_vector rest;
        for (const box& c : children) {
            if (c.type == fourcc("free")) continue;
            if (c.type != fourcc("mvex")) {
                rest.insert(rest.end(), c.whole.begin(), c.whole.end());
                continue;
            }
            std::vector<box> inner;
            ASSERT_TRUE(split_boxes(c.payload, inner));
            ASSERT_EQ(inner.front().type, fourcc("mehd"));
            byte_writer again;
            const std::size_t mvex = again.begin(fourcc("mvex"));
            for (std::size_t i = 1; i < inner.size(); ++i) again.raw(inner[i].whole);
            again.end(mvex);
            rest.insert(rest.end(), again.bytes().begin(), again.bytes().end());
        }
        EXPECT_EQ(rest, moov) << filler;
    }
    // Some of these headers would have put the field across a sector.
    EXPECT_GT(padded, 0);
    // A header that is not the muxer's gets a fault.
    byte_vector out;
    std::int64_t field = 0;
    EXPECT_TRUE(add_length_box(byte_vector{0, 0, 0, 8, 'f', 't', 'y', 'p'}, out, field));
    byte_writer no_mvex;
    const std::size_t at = no_mvex.begin(fourcc("moov"));
    put_timed(no_mvex, "mvhd", 0, 1000, false);
    no_mvex.end(at);
    EXPECT_TRUE(add_length_box(no_mvex.bytes(), out, field));
}

// An index of the first fragments only, from a movie read whole, is the one
// a movie of those fragments alone makes; so is the length they last.
TEST(index_writing, the_index_of_the_first_fragments_is_that_of_a_file_holding_only_them) {
    std::vector<track_spec> specs(2);
    specs[1].id = 2;
    specs[1].timescale = 48000;
    specs[1].sound = true;
    const byte_vector moov = moov_payload(specs);
    std::vector<byte_vector> moofs;
    std::uint64_t sound_time = 0;
    for (std::uint32_t f = 0; f < 6; ++f) {
        byte_writer w;
        std::vector<sample_spec> video = k_video;
        // Two fragments whose sizes all match, and one with a late key frame.
        for (sample_spec& v : video) v.size = f < 2 ? 700 : v.size + f;
        if (f == 4) video[0].flags = sample_flags::is_non_sync;
        put_traf(w, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 1, 100, video,
                 std::uint64_t(f) * 4 * 512);
        std::vector<sample_spec> sound(3 + f % 2, sample_spec{1024, 300 + f, 0, 0});
        put_traf(w, 2, tfhd_flags::default_base_is_moof, {}, 0,
                 trun_flags::data_offset | trun_flags::sample_duration | trun_flags::sample_size, 0,
                 4000, sound, sound_time);
        sound_time += sound.size() * 1024;
        moofs.push_back(w.take());
    }
    const sound_timing timing{1024, 1024, 48000, 6 * 3 * 1024};
    const movie whole = read(moov, moofs);
    movie times;
    times.times_only = true;
    ASSERT_FALSE(read_movie(moov, times));
    times.times_only = true;
    std::int64_t position = 1000;
    for (const byte_vector& moof : moofs) {
        ASSERT_FALSE(add_fragment(moof, position, 1 << 20, times));
        position += 10000;
    }
    EXPECT_TRUE(times.tracks[0].samples.empty());
    EXPECT_EQ(movie_length(times), movie_length(whole));
    // Of no fragment there is no index: nothing to index.
    byte_vector none;
    EXPECT_TRUE(build_moov(moov, whole, timing, 0, none));
    for (std::size_t kept = 1; kept <= moofs.size(); ++kept) {
        SCOPED_TRACE(kept);
        const movie part =
            read(moov, std::vector<byte_vector>(moofs.begin(), moofs.begin() + kept));
        byte_vector from_whole, from_part;
        ASSERT_FALSE(build_moov(moov, whole, timing, kept, from_whole));
        // Of the first fragments, every sample is recorded sound.
        sound_timing part_timing = timing;
        if (kept < moofs.size()) {
            std::int64_t sound_samples = 0;
            for (const track& t : part.tracks) {
                if (t.sound) sound_samples = std::int64_t(t.samples.size());
            }
            part_timing.recorded = sound_samples * 1024 - timing.priming;
        }
        ASSERT_FALSE(build_moov(moov, part, part_timing, from_part));
        EXPECT_EQ(from_whole, from_part);
        EXPECT_EQ(movie_length(whole, kept), movie_length(part));
    }
    // The movie itself is left as it was.
    EXPECT_EQ(whole.tracks[0].samples.size(), 6 * k_video.size());
}

}  // namespace
