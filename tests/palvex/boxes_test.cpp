// Box headers as bytes: sizes of 32 and 64 bits, headers cut short, and
// sizes no box can have.
#include "boxes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "index_bytes.h"

namespace {

using namespace index_test;

TEST(boxes, headers_of_32_and_64_bit_size_whole_cut_short_or_bad) {
    byte_writer w;
    w.u32(1);
    w.u32(fourcc("mdat"));
    w.u64(k_4_gib + 16);
    box_header h;
    EXPECT_EQ(read_box_header(w.bytes(), k_4_gib + 16, h), e_box_header_whole);
    EXPECT_EQ(h.header, 16u);
    EXPECT_EQ(h.size, k_4_gib + 16);
    EXPECT_EQ(read_box_header(w.bytes(), k_4_gib + 15, h), e_box_header_bad);
    // Cut short: no 64-bit size after the type, or not even a type.
    EXPECT_EQ(read_box_header(byte_span(w.bytes()).first(12), k_4_gib + 16, h),
              e_box_header_cut_short);
    EXPECT_EQ(read_box_header(byte_span(w.bytes()).first(7), k_4_gib + 16, h),
              e_box_header_cut_short);
    // Smaller than its header, by one byte, or 0, which would mean "to the
    // end": the muxer writes neither.
    for (const std::uint32_t size : {0u, 7u, 8u}) {
        byte_writer b;
        b.u32(size);
        b.u32(fourcc("free"));
        EXPECT_EQ(read_box_header(b.bytes(), 100, h),
                  size == 8 ? e_box_header_whole : e_box_header_bad)
            << size;
    }
    EXPECT_EQ(fourcc_text(fourcc("moov")), "moov");
    EXPECT_EQ(fourcc_text(0x00FF4142), "??AB");
}

}  // namespace
