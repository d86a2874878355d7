// Looks at critical_section from outside, for tests: its fields through a
// mirror of its layout, and its slim-lock calls through the two function
// pointers that the threads library exports, swapped for counting ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "karvon/threads/critical_section.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace counting_srw {

using Karvon::Threads::critical_section;
using fcn_srw_exclusive = void(WINAPI*)(PSRWLOCK);

// critical_section's fields as every library compiles them; the asserts keep
// this mirror and the real type the same size.
struct section_layout {
    SRWLOCK srw;
    std::uint32_t owner;
    std::uint32_t recursion;
};
static_assert(offsetof(section_layout, srw) == 0);
static_assert(offsetof(section_layout, owner) == sizeof(void*));
static_assert(offsetof(section_layout, recursion) == sizeof(void*) + 4);
static_assert(sizeof(section_layout) == sizeof(critical_section));

inline std::uint32_t* field(const critical_section& section, std::size_t offset) {
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<critical_section*>(&section));
    return reinterpret_cast<std::uint32_t*>(bytes + offset);
}

// The holder's id, read as any thread may read it: one relaxed 32-bit load.
inline std::uint32_t owner(const critical_section& section) {
    return std::atomic_ref<std::uint32_t>(*field(section, offsetof(section_layout, owner)))
        .load(std::memory_order_relaxed);
}

// Levels beyond the first; meaningful to the holder or once no thread holds it.
inline std::uint32_t recursion(const critical_section& section) {
    std::uint32_t value;
    std::memcpy(&value, field(section, offsetof(section_layout, recursion)), sizeof value);
    return value;
}

// The threads library's exported entry points, found by their (mangled) names.
inline fcn_srw_exclusive* entry_point(const char* name) {
#if defined(_WIN32)
    HMODULE threads = GetModuleHandleW(L"Karvon.Threads.x64.dll");
    void* found = threads ? reinterpret_cast<void*>(GetProcAddress(threads, name)) : nullptr;
#else
    void* found = dlsym(RTLD_DEFAULT, name);
#endif
    if (found == nullptr) {
        std::fprintf(stderr, "counting_srw: the threads library does not export %s\n", name);
        std::abort();
    }
    return static_cast<fcn_srw_exclusive*>(found);
}

inline fcn_srw_exclusive* acquire_slot() {
    return entry_point("_ZN6Karvon7Threads15read_write_lock27fcn_AcquireSRWLockExclusiveE");
}
inline fcn_srw_exclusive* release_slot() {
    return entry_point("_ZN6Karvon7Threads15read_write_lock27fcn_ReleaseSRWLockExclusiveE");
}

// Counts the slim lock's exclusive acquires and releases of every
// critical_section in the process, for the life of one test, and checks two
// rules at the seam: a thread never waits for a lock it holds (that would
// hang; the program ends at once with a message instead), and owner is 0
// whenever srw is given back (releases_with_owner counts the breaches).
struct counter {
    static inline std::atomic<int> acquires{0};
    static inline std::atomic<int> releases{0};
    static inline std::atomic<int> releases_with_owner{0};
    static inline fcn_srw_exclusive real_acquire = nullptr;
    static inline fcn_srw_exclusive real_release = nullptr;

    static void WINAPI counting_acquire(PSRWLOCK lock) {
        acquires.fetch_add(1);
        // srw is the first field of critical_section.
        const auto* section = reinterpret_cast<const critical_section*>(lock);
        if (owner(*section) == GetCurrentThreadId()) {
            std::fprintf(stderr, "a thread waits for a critical_section that it holds\n");
            std::abort();
        }
        real_acquire(lock);
    }
    static void WINAPI counting_release(PSRWLOCK lock) {
        releases.fetch_add(1);
        if (owner(*reinterpret_cast<const critical_section*>(lock)) != 0) {
            releases_with_owner.fetch_add(1);
        }
        real_release(lock);
    }
    static void install() {
        acquires = 0;
        releases = 0;
        releases_with_owner = 0;
        real_acquire = *acquire_slot();
        real_release = *release_slot();
        *acquire_slot() = &counting_acquire;
        *release_slot() = &counting_release;
    }
    static void uninstall() {
        if (real_acquire == nullptr) return;
        *acquire_slot() = real_acquire;
        *release_slot() = real_release;
        real_acquire = real_release = nullptr;
    }
};

}  // namespace counting_srw
