// What the index tests share: fragments made box by box with the fields
// they name, a movie read from them, and readers of the boxes written.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "boxes.h"
#include "index.h"
#include "synthetic_boxes.h"

namespace index_test {

using namespace Selmet::Palvex::detail;
using namespace synthetic;

constexpr std::uint64_t k_4_gib = std::uint64_t(1) << 32;

constexpr std::uint32_t k_all_fields = trun_flags::data_offset | trun_flags::sample_duration |
                                       trun_flags::sample_size | trun_flags::sample_flags |
                                       trun_flags::sample_composition_offset;

// Four video samples with B-frame offsets, as the muxer writes them.
inline const std::vector<sample_spec> k_video = {
    {512, 1000, sample_flags::depends_on_none, 1024},
    {512, 300, sample_flags::is_non_sync | sample_flags::depends_on_others, 2048},
    {512, 200, sample_flags::is_non_sync | sample_flags::depends_on_others, 0},
    {512, 250, sample_flags::is_non_sync | sample_flags::depends_on_others, 512},
};

inline byte_vector video_moof(std::uint32_t trun_version = 0,
                              const std::vector<sample_spec>& samples = k_video) {
    byte_writer w;
    put_traf(w, 1, tfhd_flags::default_base_is_moof, {}, 0, k_all_fields, trun_version, 100,
             samples);
    return w.take();
}

inline movie read(const byte_vector& moov, const std::vector<byte_vector>& moofs,
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
inline std::pair<std::uint32_t, std::uint64_t> timed_header(byte_span b, bool is_tkhd) {
    byte_reader r(b);
    std::uint32_t version = 0, flags = 0;
    r.full_header(version, flags);
    r.skip(version == 1 ? 16 : 8);  // created, modified
    r.skip(is_tkhd ? 8 : 4);        // time scale, or track id and a reserved word
    return {version, r.uint(version == 1 ? 8 : 4)};
}

// The boxes of a written moov, found by a path of types.
inline byte_span find_path(byte_span data, std::initializer_list<const char*> path) {
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

}  // namespace index_test
