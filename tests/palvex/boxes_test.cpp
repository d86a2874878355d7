// Box headers as bytes: sizes of 32 and 64 bits, and the size that means
// "to the end".
#include "boxes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "index_bytes.h"

namespace {

using namespace index_test;

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

}  // namespace
