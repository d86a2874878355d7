// What the index reader takes from a first index and its fragments, made
// here box by box, and that bad bytes get a fault instead of a read past the
// end.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "index.h"
#include "index_bytes.h"

namespace {

using namespace index_test;

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

}  // namespace
