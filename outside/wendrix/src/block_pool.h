// Pool of 64-byte aligned blocks, grouped by size, that the message classes
// draw their objects and sample buffers from. A block handed back keeps a tag
// that says what it holds (for instance "a black 1920x1080 picture"), so a
// taker that finds the contents it needs can skip filling the block again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Karvon::Wendrix::detail {

class block_pool {
  public:
    static constexpr std::size_t k_alignment = 64;
    // Tag of a block whose contents nobody vouches for.
    static constexpr std::uint64_t k_unknown = 0;

    // Keeps at most cache_limit bytes of free blocks; blocks beyond that go
    // back to the heap.
    explicit block_pool(std::size_t cache_limit);
    ~block_pool();

    block_pool(const block_pool&) = delete;
    block_pool& operator=(const block_pool&) = delete;

    // A block of exactly `size` bytes. `tag` is set to the tag the block was
    // given back with (k_unknown for a new block); a block with the wanted tag
    // is preferred. Throws std::bad_alloc when the heap is exhausted.
    void* take(std::size_t size, std::uint64_t wanted, std::uint64_t& tag);
    void give(void* block, std::size_t size, std::uint64_t tag) noexcept;

  private:
    struct entry {
        void* block;
        std::uint64_t tag;
    };
    struct size_class {
        std::size_t size;
        std::vector<entry> free;
    };

    std::mutex m_lock;
    std::vector<size_class> m_classes;
    std::size_t m_cached = 0;
    std::size_t m_limit;
};

// The process-wide pools. They are never destroyed, so a message released
// during static destruction still finds its pool.
block_pool& object_pool();
block_pool& picture_pool();
block_pool& sample_pool();

}  // namespace Karvon::Wendrix::detail
