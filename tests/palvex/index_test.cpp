// The index code on byte vectors made here, box by box: what it reads from
// a first index and its fragments, what full index it writes, and that bad
// bytes get a fault instead of a read past the end.
#include "index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "boxes.h"
#include "synthetic_boxes.h"

namespace {

using namespace Selmet::Palvex::detail;
using namespace synthetic;

constexpr std::uint64_t k_4_gib = std::uint64_t(1) << 32;

constexpr std::uint32_t k_all_fields = trun_flags::data_offset | trun_flags::sample_duration |
                                       trun_flags::sample_size | trun_flags::sample_flags |
                                       trun_flags::sample_composition_offset;

// Four video samples with B-frame offsets, as the muxer writes them.
const std::vector<sample_spec> k_video = {
    {512, 1000, sample_flags::depends_on_none, 1024},
    {512, 300, sample_flags::is_non_sync | sample_flags::depends_on_others, 2048},
    {512, 200, sample_flags::is_non_sync | sample_flags::depends_on_others, 0},
    {512, 250, sample_flags::is_non_sync | sample_flags::depends_on_others, 512},
};

byte_vector video_moof(std::uint32_t trun_version = 0,
                       const std::vector<sample_spec>& samples = k_video) {
    byte_writer w;
    put_traf(w, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, trun_version, 100,
             samples);
    return w.take();
}

movie read(const byte_vector& moov, const std::vector<byte_vector>& moofs,
           std::int64_t file_size = 1 << 20) {
    movie m;
    EXPECT_FALSE(read_movie(moov, m));
    std::int64_t position = 1000;
    for (const byte_vector& moof : moofs) {
        const fault f = add_fragment(moof, position, file_size, m);
        EXPECT_FALSE(f) << f.text;
        position += 10000;
    }
    return m;
}

// The version and the duration of an mvhd, tkhd or mdhd box.
std::pair<std::uint32_t, std::uint64_t> timed_header(byte_span b, bool is_tkhd) {
    byte_reader r(b);
    std::uint32_t version = 0, flags = 0;
    r.full_header(version, flags);
    r.skip(version == 1 ? 16 : 8);  // created, modified
    r.skip(is_tkhd ? 8 : 4);        // time scale, or track id and a reserved word
    return {version, r.uint(version == 1 ? 8 : 4)};
}

// The boxes of a written moov, found by a path of types.
byte_span find_path(byte_span data, std::initializer_list<const char*> path) {
    for (const char* type : path) {
        std::vector<box> boxes;
        EXPECT_TRUE(split_boxes(data, boxes));
        const box* b = nullptr;
        for (const box& x : boxes) {
            if (fourcc_text(x.type) == type) b = &x;
        }
        if (b == nullptr) return {};
        data = b->payload;
    }
    return data;
}

TEST(index_reading, samples_come_from_trun_fields_or_from_tfhd_and_trex_defaults) {
    const sample_spec d{512, 700, sample_flags::is_non_sync, 0};
    track_spec with_trex;
    with_trex.default_duration = d.duration;
    with_trex.default_size = d.size;
    with_trex.default_flags = d.flags;
    const std::vector<sample_spec> same(3, d);

    byte_writer all_fields, tfhd_defaults, trex_defaults;
    put_traf(all_fields, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, same);
    put_traf(tfhd_defaults, 1,
             tfhd_flags::default_base_is_moof | tfhd_flags::default_sample_duration |
                 tfhd_flags::default_sample_size | tfhd_flags::default_sample_flags,
             d, 0, trun_flags::data_offset, 0, 100, same);
    put_traf(trex_defaults, 1, tfhd_flags::default_base_is_moof, {}, 0, trun_flags::data_offset, 0,
             100, same);
    const movie a = read(moov_payload({track_spec{}}), {all_fields.take()});
    const movie b = read(moov_payload({track_spec{}}), {tfhd_defaults.take()});
    const movie c = read(moov_payload({with_trex}), {trex_defaults.take()});
    for (const movie* m : {&a, &b, &c}) {
        ASSERT_EQ(m->tracks.size(), 1u);
        const std::vector<sample>& s = m->tracks[0].samples;
        ASSERT_EQ(s.size(), 3u);
        // One run: one chunk where the data starts.
        ASSERT_EQ(m->tracks[0].chunks.size(), 1u);
        EXPECT_EQ(m->tracks[0].chunks[0].offset, 1100);
        EXPECT_EQ(m->tracks[0].chunks[0].samples, 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(s[i].size, 700u);
            EXPECT_EQ(s[i].duration, 512u);
            EXPECT_FALSE(s[i].sync);
        }
        EXPECT_EQ(m->tracks[0].decode_time, 3 * 512);
    }
}

TEST(index_reading, a_first_sample_flags_word_makes_only_the_first_sample_a_key) {
    track_spec t;
    t.default_duration = 512;
    t.default_size = 10;
    t.default_flags = sample_flags::is_non_sync;
    byte_writer w;
    const std::size_t traf = w.begin(fourcc("traf"));
    const std::size_t tfhd = w.begin_full(fourcc("tfhd"), 0, tfhd_flags::default_base_is_moof);
    w.u32(1);
    w.end(tfhd);
    const std::size_t trun =
        w.begin_full(fourcc("trun"), 0, trun_flags::data_offset | trun_flags::first_sample_flags);
    w.u32(3);
    w.u32(100);
    w.u32(0);  // first sample: sync
    w.end(trun);
    w.end(traf);
    const movie m = read(moov_payload({t}), {w.take()});
    ASSERT_EQ(m.tracks[0].samples.size(), 3u);
    EXPECT_TRUE(m.tracks[0].samples[0].sync);
    EXPECT_FALSE(m.tracks[0].samples[1].sync);
    EXPECT_FALSE(m.tracks[0].samples[2].sync);
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
    // Presented times: 0, 1536, 512, 1024: the edit starts at 0.
    EXPECT_EQ(present(m.tracks[0], 1000, {}).media_start, 0);

    byte_vector full;
    ASSERT_FALSE(build_moov(moov_payload({track_spec{}}), m, {}, full));
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
    const sound_timing timing{1024, 1024, 48000, 480000};
    track unstretched = m.tracks[0];
    retime_sound(unstretched, timing);
    EXPECT_EQ(unstretched.samples[0].duration, 1024u);
    EXPECT_EQ(unstretched.samples[469].duration, 1024u);
    const presentation p = present(unstretched, 1000, timing);
    EXPECT_EQ(p.media_start, 1024);
    // Every recorded sample, up to the end of the stored sample that holds
    // the last one: 469 of them after the priming, in ms.
    EXPECT_EQ(p.shown, 10006);  // and a tick more
    EXPECT_EQ(p.media_duration, 470 * 1024);

    // Priming of more than one stored sample, and a part of one.
    EXPECT_EQ(present(unstretched, 1000, {2048, 1024, 48000, 0}).media_start, 2048);
    EXPECT_EQ(present(unstretched, 1000, {1536, 1024, 48000, 0}).media_start, 1536);
    // A recording shorter than its priming shows nothing, and nothing breaks.
    EXPECT_EQ(present(unstretched, 1000, {1024 * 1000, 1024, 48000, 10}).shown, 0);
    // A picture track is left as it is.
    track picture = m.tracks[0];
    picture.sound = false;
    retime_sound(picture, timing);
    EXPECT_EQ(picture.samples[0].duration, 3840u);

    byte_vector full;
    ASSERT_FALSE(build_moov(moov_payload({sound}), m, timing, full));
    const byte_span moov = byte_span(full).subspan(8);
    byte_reader elst(find_path(moov, {"trak", "edts", "elst"}));
    elst.skip(4);
    EXPECT_EQ(elst.u32(), 1u);
    EXPECT_EQ(elst.u32(), 480257u);  // shown, in the movie's scale, now the sound's
    EXPECT_EQ(elst.u32(), 1024u);    // media start: after the priming
    byte_reader stts(find_path(moov, {"trak", "mdia", "minf", "stbl", "stts"}));
    stts.skip(4);
    EXPECT_EQ(stts.u32(), 1u);  // one run: every sample lasts 1024
    EXPECT_EQ(stts.u32(), 470u);
    EXPECT_EQ(stts.u32(), 1024u);
}

TEST(index_reading, malformed_bytes_get_a_fault_and_no_read_past_the_end) {
    const byte_vector moov = moov_payload({track_spec{}});
    const byte_vector moof = video_moof();
    movie good;
    ASSERT_FALSE(read_movie(moov, good));
    // Every cut of the first index and of a fragment header.
    int moov_faults = 0;
    for (std::size_t n = 0; n < moov.size(); ++n) {
        movie m;
        const byte_vector cut(moov.begin(), moov.begin() + std::ptrdiff_t(n));
        if (read_movie(cut, m)) ++moov_faults;
    }
    EXPECT_GT(moov_faults, int(moov.size()) / 2);
    for (std::size_t n = 0; n < moof.size(); ++n) {
        movie m = good;
        const byte_vector cut(moof.begin(), moof.begin() + std::ptrdiff_t(n));
        const fault f = add_fragment(cut, 1000, 1 << 20, m);
        // A cut that ends between boxes leaves fewer samples, never more.
        if (!f) {
            EXPECT_LE(m.tracks[0].samples.size(), k_video.size());
        }
    }
    // Every byte of each made absurd.
    for (std::size_t i = 0; i < moof.size(); ++i) {
        for (const std::uint8_t value : {std::uint8_t(0), std::uint8_t(0xFF), std::uint8_t(0x7F)}) {
            byte_vector bad = moof;
            bad[i] = value;
            movie m = good;
            add_fragment(bad, 1000, 1 << 20, m);
            byte_vector full;
            build_moov(moov, m, {}, full);
        }
    }
    for (std::size_t i = 0; i < moov.size(); ++i) {
        byte_vector bad = moov;
        bad[i] = 0xFF;
        movie m;
        if (!read_movie(bad, m)) {
            byte_vector full;
            build_moov(bad, m, {}, full);
        }
    }

    const auto fault_of = [&good](const byte_vector& fragment, std::int64_t file_size = 1 << 20) {
        movie m = good;
        return add_fragment(fragment, 1000, file_size, m).text;
    };
    // A box size past the end, and a zero size that means "to the end".
    byte_vector past = moof;
    past[3] = 0xF0;
    EXPECT_EQ(fault_of(past), "a fragment header is cut short");
    // An absurd sample count.
    byte_writer absurd;
    put_traf(absurd, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video);
    byte_vector counted = absurd.take();
    const std::size_t count_at = counted.size() - k_video.size() * 16 - 8;
    for (std::size_t i = 0; i < 4; ++i) counted[count_at + i] = 0xFF;
    EXPECT_EQ(fault_of(counted), "a track run counts more samples than it holds");
    // Samples that lie past the end of the file.
    EXPECT_EQ(fault_of(moof, 1500), "a sample lies outside the file");
    // Runs that count the same bytes again, many times over: the samples
    // would hold more bytes than the file, and the index would grow without
    // end. So would empty samples.
    byte_writer again;
    for (int i = 0; i < 400; ++i) {
        put_traf(again, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video,
                 std::uint64_t(i) * 4 * 512);
    }
    EXPECT_EQ(fault_of(again.take(), 400000), "the samples hold more bytes than the file");
    // A run of the track whose decode time goes back before the end of the
    // samples already read: they would overlap. One that goes on where they
    // end is read.
    for (const std::uint64_t second : {std::uint64_t(4096 + 4 * 512 - 1), std::uint64_t(0)}) {
        byte_writer back;
        put_traf(back, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video,
                 4096);
        put_traf(back, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video,
                 second);
        EXPECT_EQ(fault_of(back.take()),
                  "a fragment's decode time goes back before the samples already read");
    }
    byte_writer on;
    put_traf(on, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video, 4096);
    put_traf(on, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video,
             4096 + 4 * 512);
    movie continued = good;
    EXPECT_FALSE(add_fragment(on.take(), 1000, 1 << 20, continued));
    EXPECT_EQ(continued.tracks[0].first_decode_time, 4096);
    EXPECT_EQ(continued.tracks[0].decode_time, 4096 + 8 * 512);
    std::vector<sample_spec> empty_samples = k_video;
    empty_samples[2].size = 0;
    byte_writer empties;
    put_traf(empties, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100,
             empty_samples);
    EXPECT_EQ(fault_of(empties.take()), "a sample is empty");
    // A fragment of a track the index does not have.
    byte_writer stranger;
    put_traf(stranger, 9, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, 0, 100, k_video);
    EXPECT_EQ(fault_of(stranger.take()), "a fragment names a track that does not exist");
    // An index without tracks, and a zero-sized box that swallows the rest.
    movie m;
    byte_writer empty;
    put_timed(empty, "mvhd", 0, 1000, false);
    EXPECT_EQ(read_movie(empty.take(), m).text, "the index has no track");
    byte_vector swallowed = moov;
    for (std::size_t i = 0; i < 4; ++i) swallowed[i] = 0;
    EXPECT_TRUE(read_movie(swallowed, m));
}

TEST(boxes, headers_of_32_and_64_bit_size_and_the_size_that_means_to_the_end) {
    byte_writer w;
    w.u32(1);
    w.u32(fourcc("mdat"));
    w.u64(k_4_gib + 16);
    box_header h;
    EXPECT_TRUE(read_box_header(w.bytes(), k_4_gib + 16, h));
    EXPECT_EQ(h.header, 16u);
    EXPECT_EQ(h.size, k_4_gib + 16);
    EXPECT_FALSE(read_box_header(w.bytes(), k_4_gib, h));
    // Cut short: no 64-bit size after the type.
    EXPECT_FALSE(read_box_header(byte_span(w.bytes()).first(12), k_4_gib + 16, h));
    byte_writer zero;
    zero.u32(0);
    zero.u32(fourcc("free"));
    EXPECT_TRUE(read_box_header(zero.bytes(), 100, h));
    EXPECT_EQ(h.size, 100u);
    byte_writer tiny;
    tiny.u32(7);
    tiny.u32(fourcc("free"));
    EXPECT_FALSE(read_box_header(tiny.bytes(), 100, h));
    EXPECT_EQ(fourcc_text(fourcc("moov")), "moov");
    EXPECT_EQ(fourcc_text(0x00FF4142), "??AB");
}

// The bound on the full index holds for the largest index the tables can
// make: every sample with its own duration, size and negative presentation
// offset, all but a few of them key frames (listed, since not all are), two
// runs per fragment and track past
// 4 GiB, and times that need version 1 headers.
TEST(index_bound, covers_the_largest_index_that_the_tables_can_make) {
    constexpr std::int64_t k_fragments = 2000;
    constexpr std::uint32_t k_per_run = 5;
    std::vector<track_spec> specs(2);
    specs[1].id = 2;
    specs[1].timescale = 48000;
    const byte_vector first = moov_payload(specs, 0, std::uint64_t(1) << 33);
    movie m;
    ASSERT_FALSE(read_movie(first, m));
    std::int64_t samples = 0;
    std::int64_t offset = std::int64_t(k_4_gib);
    std::uint32_t n = 0;
    for (track& t : m.tracks) {
        for (std::int64_t f = 0; f < 2 * k_fragments; ++f) {
            t.chunks.push_back(chunk{offset, k_per_run + std::uint32_t(f % 2)});
            for (std::uint32_t i = 0; i < t.chunks.back().samples; ++i, ++n) {
                sample s;
                s.size = 100 + n;
                s.duration = 1000 + n;
                s.composition = -std::int32_t(n % 7) * 100;
                s.sync = n % 1000 != 1;
                t.samples.push_back(s);
                offset += s.size;
                ++samples;
            }
        }
    }
    byte_vector out;
    ASSERT_FALSE(build_moov(first, m, sound_timing{}, out));
    const std::int64_t bound = index_bound(std::int64_t(first.size()) + 8, 2, samples, k_fragments);
    std::printf("%lld samples: the index takes %zu bytes, the bound is %lld\n",
                static_cast<long long>(samples), out.size(), static_cast<long long>(bound));
    EXPECT_LE(std::int64_t(out.size()), bound);
    // Not by a wide margin: the bound is what such an index takes, and a
    // fixed 64 KiB.
    EXPECT_GE(std::int64_t(out.size()) + (64 << 10) + 2048, bound);
    // It grows with every sample and every fragment.
    EXPECT_GT(index_bound(1000, 2, 101, 10), index_bound(1000, 2, 100, 10));
    EXPECT_GT(index_bound(1000, 2, 100, 11), index_bound(1000, 2, 100, 10));
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

// Forms the muxer does not write today but other writers do, and a reader
// takes: a 32-bit decode time (tfdt version 0), and a second track
// fragment whose data follows the first one's, with no base of its own.
TEST(index_reading, a_32_bit_decode_time_and_a_track_fragment_based_on_the_one_before) {
    std::vector<track_spec> specs(2);
    specs[1].id = 2;
    const byte_vector moov = moov_payload(specs);
    byte_writer w;
    // tfdt version 0 by hand: put_traf writes version 1.
    const std::size_t traf = w.begin(fourcc("traf"));
    const std::size_t tfhd = w.begin_full(fourcc("tfhd"), 0, 0);
    w.u32(1);
    w.end(tfhd);
    const std::size_t tfdt = w.begin_full(fourcc("tfdt"), 0, 0);
    w.u32(123456);
    w.end(tfdt);
    const std::size_t trun = w.begin_full(fourcc("trun"), 0, k_all_fields);
    w.u32(std::uint32_t(k_video.size()));
    w.u32(100);
    for (const sample_spec& s : k_video) {
        w.u32(s.duration);
        w.u32(s.size);
        w.u32(s.flags);
        w.u32(std::uint32_t(s.composition));
    }
    w.end(trun);
    w.end(traf);
    // The second: no base offset, no base at the moof, no data offset.
    put_traf(w, 2, 0, {}, 0,
             trun_flags::sample_duration | trun_flags::sample_size | trun_flags::sample_flags, 0, 0,
             {{1024, 50, 0, 0}, {1024, 60, 0, 0}});
    const movie m = read(moov, {w.take()});
    ASSERT_EQ(m.tracks.size(), 2u);
    EXPECT_EQ(m.tracks[0].first_decode_time, 123456);
    EXPECT_EQ(m.tracks[0].decode_time, 123456 + 4 * 512);
    ASSERT_EQ(m.tracks[0].chunks.size(), 1u);
    EXPECT_EQ(m.tracks[0].chunks[0].offset, 1000 + 100);
    ASSERT_EQ(m.tracks[1].chunks.size(), 1u);
    EXPECT_EQ(m.tracks[1].chunks[0].offset, 1000 + 100 + 1000 + 300 + 200 + 250);
    EXPECT_EQ(m.tracks[1].samples.size(), 2u);
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
        EXPECT_EQ(read_length(top[1].payload), 0);
        for (std::int64_t i = 0; i < 8; ++i) out[std::size_t(field + i)] = std::uint8_t(i + 1);
        EXPECT_EQ(read_length(top[1].payload), 0x0102030405060708);
        // The index reads as before: its tracks and their fragment defaults.
        movie before, after;
        ASSERT_FALSE(read_movie(moov, before));
        ASSERT_FALSE(read_movie(top[1].payload, after));
        EXPECT_EQ(after.tracks.size(), before.tracks.size());
        EXPECT_EQ(read_length(moov), -1);
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
    for (std::size_t kept = 0; kept <= moofs.size(); ++kept) {
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
