// The pool behind the messages: which of the blocks given back it keeps, at,
// just under and just over its limit of kept bytes, and once sixteen sizes
// are in use. The library keeps the pool inside, so the test is built with
// the pool's own source.
#include "block_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using Karvon::Wendrix::detail::block_pool;
using tags = std::vector<std::uint64_t>;

// A tag no block is given back with.
constexpr std::uint64_t k_never_given = ~std::uint64_t(0);

// A pool that keeps nothing: what it hands out is new from the heap, and what
// it is given goes back there.
block_pool& heap() {
    static block_pool none(0);
    return none;
}

void* new_block(std::size_t size) {
    std::uint64_t tag = 0;
    return heap().take(size, block_pool::k_unknown, tag);
}

// Gives the pool a new block of `size` tagged `tag`.
void give_new(block_pool& pool, std::size_t size, std::uint64_t tag) {
    pool.give(new_block(size), size, tag);
}

// Takes out every block of `size` the pool keeps, until it hands out a new
// one, and gives back their tags in order. Every block goes to the heap.
tags drain(block_pool& pool, std::size_t size) {
    tags kept;
    for (;;) {
        std::uint64_t tag = 0;
        void* block = pool.take(size, k_never_given, tag);
        heap().give(block, size, tag);
        if (tag == block_pool::k_unknown) break;
        kept.push_back(tag);
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

TEST(block_pool, keeps_given_back_blocks_up_to_its_limit_of_bytes_in_all_sizes_together) {
    block_pool pool(1000);
    for (std::uint64_t tag = 1; tag <= 9; ++tag) give_new(pool, 100, tag);  // 900 kept
    give_new(pool, 101, 20);                                                // 1001: one byte over
    give_new(pool, 99, 21);                                                 // 999: one byte under
    give_new(pool, 2, 22);                                                  // 1001
    give_new(pool, 1, 23);  // 1000: the limit itself
    give_new(pool, 1, 24);  // 1001
    EXPECT_EQ(drain(pool, 100), (tags{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(drain(pool, 101), tags{});
    EXPECT_EQ(drain(pool, 99), tags{21});
    EXPECT_EQ(drain(pool, 2), tags{});
    EXPECT_EQ(drain(pool, 1), tags{23});

    // Blocks taken out make room again: the whole limit in one block, and
    // not a byte more.
    give_new(pool, 1000, 30);
    give_new(pool, 1, 31);
    EXPECT_EQ(drain(pool, 1000), tags{30});
    EXPECT_EQ(drain(pool, 1), tags{});
    // A block larger than the limit is never kept, even by an empty pool.
    give_new(pool, 1001, 32);
    EXPECT_EQ(drain(pool, 1001), tags{});
    // Kept blocks that nobody takes are freed with the pool (the address
    // sanitizer's leak check sees it).
    give_new(pool, 500, 33);
}

TEST(block_pool, keeps_sixteen_sizes_and_makes_room_for_another_by_forgetting_empty_ones) {
    block_pool pool(1 << 20);
    for (std::uint64_t size = 1; size <= 16; ++size) give_new(pool, 64 * size, size);
    // Every size holds a block: a seventeenth has no place.
    give_new(pool, 64 * 17, 17);
    EXPECT_EQ(drain(pool, 64 * 17), tags{});
    // Once one size holds nothing, it makes way for the new one.
    EXPECT_EQ(drain(pool, 64), tags{1});
    give_new(pool, 64 * 17, 17);
    give_new(pool, 64, 1);  // sixteen sizes again, all holding a block
    EXPECT_EQ(drain(pool, 64), tags{});
    for (std::uint64_t size = 2; size <= 17; ++size) {
        EXPECT_EQ(drain(pool, 64 * size), tags{size}) << "size " << 64 * size;
    }
}

}  // namespace
