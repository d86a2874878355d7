#include "block_pool.h"

#include <new>

namespace Karvon::Wendrix::detail {

namespace {
constexpr std::size_t k_max_size_classes = 16;

void* heap_block(std::size_t size) {
    return ::operator new (size, std::align_val_t{block_pool::k_alignment});
}

void free_block(void* block) noexcept {
    ::operator delete (block, std::align_val_t{block_pool::k_alignment});
}
}  // namespace

block_pool::block_pool(std::size_t cache_limit) : m_limit(cache_limit) {}

block_pool::~block_pool() {
    for (size_class& cls : m_classes) {
        for (entry& e : cls.free) free_block(e.block);
    }
}

void* block_pool::take(std::size_t size, std::uint64_t wanted, std::uint64_t& tag) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_class& cls : m_classes) {
            if (cls.size != size || cls.free.empty()) continue;
            std::size_t pick = cls.free.size() - 1;
            for (std::size_t i = cls.free.size(); i-- > 0;) {
                if (cls.free[i].tag == wanted) {
                    pick = i;
                    break;
                }
            }
            const entry found = cls.free[pick];
            cls.free[pick] = cls.free.back();
            cls.free.pop_back();
            m_cached -= size;
            tag = found.tag;
            return found.block;
        }
    }
    tag = k_unknown;
    return heap_block(size);
}

void block_pool::give(void* block, std::size_t size, std::uint64_t tag) noexcept {
    if (block == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_cached + size <= m_limit) {
            size_class* target = nullptr;
            for (size_class& cls : m_classes) {
                if (cls.size == size) {
                    target = &cls;
                    break;
                }
            }
            try {
                if (target == nullptr) {
                    // Too many sizes in use: forget the classes that hold nothing.
                    if (m_classes.size() >= k_max_size_classes) {
                        std::erase_if(m_classes,
                                      [](const size_class& c) { return c.free.empty(); });
                    }
                    if (m_classes.size() < k_max_size_classes) {
                        m_classes.push_back(size_class{size, {}});
                        target = &m_classes.back();
                    }
                }
                if (target != nullptr) {
                    target->free.push_back(entry{block, tag});
                    m_cached += size;
                    return;
                }
            } catch (const std::bad_alloc&) {
                // No room to remember the block: it goes back to the heap.
            }
        }
    }
    free_block(block);
}

block_pool& object_pool() {
    static block_pool* const pool = new block_pool(1u << 20);
    return *pool;
}

block_pool& picture_pool() {
    static block_pool* const pool = new block_pool(std::size_t(96) << 20);
    return *pool;
}

block_pool& sample_pool() {
    static block_pool* const pool = new block_pool(std::size_t(16) << 20);
    return *pool;
}

}  // namespace Karvon::Wendrix::detail
