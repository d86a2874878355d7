// Counts the slim-lock calls of every critical_section in a test program.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "karvon/threads/critical_section.h"

namespace Karvon::Threads {

// Counts the slim lock's exclusive acquires and releases of every
// critical_section in the process, for the life of one test. A thread that
// asks for a lock it already holds would wait for itself forever: that ends
// the test program at once with a message instead.
struct read_write_lock_access {
    static inline std::atomic<int> acquires{0};
    static inline std::atomic<int> releases{0};
    static inline read_write_lock::fcn_srw_exclusive real_acquire = nullptr;
    static inline read_write_lock::fcn_srw_exclusive real_release = nullptr;

    static void WINAPI counting_acquire(PSRWLOCK lock) {
        acquires.fetch_add(1);
        // srw is the first field of critical_section.
        auto* section = reinterpret_cast<critical_section*>(lock);
        if (critical_section_access::owner(*section).load(std::memory_order_relaxed) ==
            GetCurrentThreadId()) {
            std::fprintf(stderr, "a thread waits for a critical_section that it holds\n");
            std::abort();
        }
        real_acquire(lock);
    }
    static void WINAPI counting_release(PSRWLOCK lock) {
        releases.fetch_add(1);
        real_release(lock);
    }
    static void install() {
        acquires = 0;
        releases = 0;
        real_acquire = read_write_lock::fcn_AcquireSRWLockExclusive;
        real_release = read_write_lock::fcn_ReleaseSRWLockExclusive;
        read_write_lock::fcn_AcquireSRWLockExclusive = &counting_acquire;
        read_write_lock::fcn_ReleaseSRWLockExclusive = &counting_release;
    }
    static bool real_entry_points_set() {
        return read_write_lock::fcn_AcquireSRWLockExclusive != nullptr &&
               read_write_lock::fcn_ReleaseSRWLockExclusive != nullptr;
    }
    static void uninstall() {
        if (real_acquire == nullptr) return;
        read_write_lock::fcn_AcquireSRWLockExclusive = real_acquire;
        read_write_lock::fcn_ReleaseSRWLockExclusive = real_release;
        real_acquire = real_release = nullptr;
    }
};

}  // namespace Karvon::Threads
