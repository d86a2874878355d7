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
    // Free, with owner and recursion at 0.
    KARVON_THREADS_API critical_section();
    // Leaves every field as it is: the slim lock owns nothing to dispose of,
    // and a lock destroyed at unload or process end, whatever its state,
    // does not disturb a thread that still holds it or takes it afterwards
    // (during static destruction, say): such a thread goes on using the
    // fields as they were.
    KARVON_THREADS_API ~critical_section();

    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;
    critical_section(critical_section&&) = delete;
    critical_section& operator=(critical_section&&) = delete;

    // Takes the lock; the holder takes it again without blocking.
    //
    // Why a relaxed load of owner is enough: a thread finds its own id there
    // only if it is the holder. Only the holder stores an id, its own, right
    // after taking srw, and it stores 0 before giving srw back; so while
    // another thread holds the lock owner holds that thread's id, and while
    // none does, 0 or the id of a past holder that this thread has not yet
    // seen cleared. That past holder cannot be this thread: this thread's own
    // last store of 0 comes after its own earlier stores in program order,
    // and a thread's loads never see an older value of an atomic than its
    // own last store to it.
    //
    // Ids are reused once a thread has ended. A new thread with the id of a
    // thread that ended could find that id in owner only if the ended thread
    // still held the lock (not allowed: every lock() is matched by an
    // unlock() on the same thread), or if it read a store older than the
    // ended thread's clearing store. It cannot: the system hands an id out
    // again only after the thread that had it has ended, and ending a thread
    // and starting one are ordered by the system's own synchronisation (on
    // Linux the kernel frees and allocates thread ids under one lock; thread
    // creation then happens before the new thread's first instruction), so
    // the clearing store happens before the new thread's load, which
    // therefore sees it or a later value: 0 or another holder's id.
    void lock() {
        const std::uint32_t tid = GetCurrentThreadId();
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
