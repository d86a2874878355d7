// The few operating-system services the project's code uses, under their
// Windows names. On Windows this is <windows.h>; on Linux the same names are
// provided here with the same widths and behaviour. The platform layer's
// headers (this one, wide_char.h and file.h) are the only headers of the
// project that know which operating system they are built for; a source file
// elsewhere chooses only where one system has something the other lacks
// (a DLL's entry, the wide-character program entry, a console's modes).
#pragma once

#include <cstdint>

#include "platform/wide_char.h"

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else  // Linux

#include <atomic>

#include "platform/export.h"

using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using HMODULE = void*;
using HINSTANCE = void*;
using LPVOID = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define INFINITE 0xFFFFFFFFu
#define WINAPI

// Slim lock, exclusive mode only. One pointer wide and free when all bits are
// zero. The first 32 bits are the futex word: 0 free, 1 held, 2 held with
// (possible) sleepers; the rest is padding so the size matches the pointer.
struct alignas(void*) SRWLOCK {
    std::uint32_t state;
    std::uint32_t reserved;
};
using PSRWLOCK = SRWLOCK*;
#define SRWLOCK_INIT \
    { 0, 0 }

static_assert(sizeof(SRWLOCK) == sizeof(void*) && alignof(SRWLOCK) == alignof(void*));

extern "C" {
// Milliseconds from a monotonic clock, wrapping at 2^32.
KARVON_PLATFORM_API DWORD GetTickCount();
// Suspends the calling thread for at least the given number of milliseconds,
// resuming after signals until the whole time has passed. INFINITE never returns.
KARVON_PLATFORM_API void Sleep(DWORD milliseconds);
KARVON_PLATFORM_API void AcquireSRWLockExclusive(PSRWLOCK lock);
KARVON_PLATFORM_API void ReleaseSRWLockExclusive(PSRWLOCK lock);
// Does nothing: Linux has no per-thread library notifications. Succeeds.
KARVON_PLATFORM_API BOOL DisableThreadLibraryCalls(HMODULE module);
}

namespace Karvon::Platform {
// Slow path of GetCurrentThreadId: asks the kernel and fills the caller's cache.
KARVON_PLATFORM_API DWORD query_thread_id();
// Bumped in the child after every fork(), so per-thread id caches made before
// the fork are seen as stale there.
KARVON_PLATFORM_API extern std::atomic<std::uint32_t> fork_generation;

// Milliseconds of a monotonic clock reading, kept to the low 32 bits.
inline DWORD tick_count_of(std::uint64_t seconds, std::uint64_t nanoseconds) {
    return static_cast<DWORD>(seconds * 1000u + nanoseconds / 1000000u);
}

// The moment `milliseconds` after (seconds, nanoseconds) of a clock
// reading, with the nanoseconds kept below one second, as clock_nanosleep
// takes it.
struct clock_time {
    std::int64_t seconds;
    std::int64_t nanoseconds;
};
inline clock_time deadline_after(clock_time now, DWORD milliseconds) {
    clock_time at{now.seconds + std::int64_t(milliseconds / 1000u),
                  now.nanoseconds + std::int64_t(milliseconds % 1000u) * 1000000};
    if (at.nanoseconds >= 1000000000) {
        at.nanoseconds -= 1000000000;
        ++at.seconds;
    }
    return at;
}

struct thread_id_cache {
    std::uint32_t id;
    std::uint32_t generation;  // 0: never filled
};
// Every shared object that inlines GetCurrentThreadId keeps its own copy of
// this per-thread cache; all copies hold the same kernel id.
inline thread_local thread_id_cache t_thread_id{0, 0};
}  // namespace Karvon::Platform

// The kernel's id of the calling thread: 32 bits, never 0, unique among the
// threads alive at one time. Cached per thread, refreshed after fork().
inline DWORD GetCurrentThreadId() {
    namespace os = Karvon::Platform;
    os::thread_id_cache& cache = os::t_thread_id;
    if (cache.generation == os::fork_generation.load(std::memory_order_relaxed)) [[likely]] {
        return cache.id;
    }
    cache.id = os::query_thread_id();
    cache.generation = os::fork_generation.load(std::memory_order_relaxed);
    return cache.id;
}

#endif
