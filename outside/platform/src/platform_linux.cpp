// Linux implementations of the Windows kernel services in platform/platform.h.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "platform/platform.h"

namespace Karvon::Platform {

std::atomic<std::uint32_t> fork_generation{1};

DWORD query_thread_id() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

}  // namespace Karvon::Platform

namespace {

void after_fork_in_child() {
    std::uint32_t next = Karvon::Platform::fork_generation.load(std::memory_order_relaxed) + 1;
    if (next == 0) next = 1;  // 0 marks an empty cache
    Karvon::Platform::fork_generation.store(next, std::memory_order_relaxed);
}

struct fork_hook {
    fork_hook() { pthread_atfork(nullptr, nullptr, &after_fork_in_child); }
} const g_fork_hook;

long futex(std::uint32_t* word, int op, std::uint32_t value) {
    return syscall(SYS_futex, word, op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

std::atomic_ref<std::uint32_t> state_of(PSRWLOCK lock) {
    return std::atomic_ref(lock->state);
}

constexpr std::uint32_t k_free = 0;
constexpr std::uint32_t k_held = 1;
constexpr std::uint32_t k_contended = 2;
// A short spin only: measured on two cores, 10 rounds beat both no spin and
// 40 rounds, where the spinner's reads of the lock word slow down the holder.
constexpr int k_spins = 10;

[[gnu::noinline]] void acquire_slow(PSRWLOCK lock) {
    auto state = state_of(lock);
    // Spin briefly while the holder is likely to give it back soon.
    for (int i = 0; i < k_spins; ++i) {
        std::uint32_t s = state.load(std::memory_order_relaxed);
        if (s == k_free) {
            std::uint32_t expected = k_free;
            if (state.compare_exchange_weak(expected, k_held, std::memory_order_acquire,
                                            std::memory_order_relaxed))
                return;
        } else if (s == k_contended) {
            break;  // others are already asleep: join them
        }
        __builtin_ia32_pause();
    }
    // Mark the lock contended before sleeping, so the releaser knows to wake.
    // Having taken it through this exchange, it stays marked contended: a
    // sleeper may remain, and one extra wake is cheaper than a lost one.
    while (state.exchange(k_contended, std::memory_order_acquire) != k_free) {
        futex(&lock->state, FUTEX_WAIT, k_contended);
    }
}

}  // namespace

extern "C" {

DWORD GetTickCount() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Wraps at 2^32 like the real one.
    return Karvon::Platform::tick_count_of(static_cast<std::uint64_t>(now.tv_sec),
                                           static_cast<std::uint64_t>(now.tv_nsec));
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const Karvon::Platform::clock_time at =
        Karvon::Platform::deadline_after({now.tv_sec, now.tv_nsec}, milliseconds);
    timespec deadline;
    deadline.tv_sec = static_cast<time_t>(at.seconds);
    deadline.tv_nsec = static_cast<long>(at.nanoseconds);
    // An absolute deadline: a signal handler that interrupts the sleep does
    // not shorten it, and restarting does not lengthen it.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    std::uint32_t expected = k_free;
    if (state_of(lock).compare_exchange_strong(expected, k_held, std::memory_order_acquire,
                                               std::memory_order_relaxed)) [[likely]] {
        return;
    }
    acquire_slow(lock);
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    if (state_of(lock).exchange(k_free, std::memory_order_release) == k_contended) {
        futex(&lock->state, FUTEX_WAKE, 1);
    }
}

BOOL DisableThreadLibraryCalls(HMODULE) {
    return TRUE;
}

}  // extern "C"
