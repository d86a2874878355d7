// Recursive exclusive lock. The constructor and destructor live in the
// threads library; lock() and unlock() are inline and compiled into every
// library that uses the lock, so the field order and widths below are shared
// by all of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "karvon/threads/export.h"
#include "karvon/threads/read_write_lock.h"
#include "platform/platform.h"

namespace Karvon::Threads {

class critical_section {
  public:
    KARVON_THREADS_API critical_section();
    KARVON_THREADS_API ~critical_section();

    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;
    critical_section(critical_section&&) = delete;
    critical_section& operator=(critical_section&&) = delete;

    // Takes the lock; the holder takes it again without blocking.
    void lock() {
        const std::uint32_t tid = GetCurrentThreadId();
        // Only the holder ever stores its own id here, and it clears the id
        // before giving srw back, so finding our id means we hold the lock.
        if (owner.load(std::memory_order_relaxed) == tid) {
            ++recursion;
            return;
        }
        read_write_lock::fcn_AcquireSRWLockExclusive(&srw);
        owner.store(tid, std::memory_order_relaxed);
    }

    // Gives back one level; the last level frees the lock. Only the holder
    // may call it.
    void unlock() {
        if (recursion != 0) {
            --recursion;
            return;
        }
        owner.store(0, std::memory_order_relaxed);
        read_write_lock::fcn_ReleaseSRWLockExclusive(&srw);
    }

  private:
    SRWLOCK srw;
    // Thread id of the holder, 0 while free. Read by any thread without
    // holding anything, so every access is one relaxed 32-bit load or store.
    std::atomic<std::uint32_t> owner;
    // Levels taken beyond the first; touched only by the holder.
    std::uint32_t recursion;

    // Every library compiles lock() and unlock() against these offsets.
    static constexpr void layout_is_shared() {
        static_assert(offsetof(critical_section, srw) == 0);
        static_assert(offsetof(critical_section, owner) == sizeof(void*));
        static_assert(offsetof(critical_section, recursion) == sizeof(void*) + 4);
    }
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              alignof(std::atomic<std::uint32_t>) == alignof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

static_assert(sizeof(critical_section) == sizeof(void*) + 8);

}  // namespace Karvon::Threads
