// The registration library: the ffm lock, the once-only registration of
// FFmpeg, and the lock manager that maps every mutex FFmpeg asks for onto one
// process-wide recursive lock.
#include "tovrel/ffmpeg/ffmpeg_registration.h"

#include <cstdint>

#include "karvon/threads/critical_section.h"
#include "platform/platform.h"

extern "C" {
#include <libavcodec/version.h>
}

// FFmpeg 5.0 (libavcodec 59) dropped the lock manager and the register-all:
// its components register themselves and guard their own state. Releases
// before it need both calls.
#if LIBAVCODEC_VERSION_MAJOR < 59
#define TOVREL_FFMPEG_LOCK_MANAGER_API 1
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
#else
#define TOVREL_FFMPEG_LOCK_MANAGER_API 0
#endif

namespace Tovrel::ffmpeg {
namespace {

// Defined in this order so that static construction builds the ffm lock first
// and destruction, registered right after each construction, tears the lock
// manager's lock down first.
Karvon::Threads::critical_section g_ffm_lock;
Karvon::Threads::critical_section g_lockmgr_lock;
// Touched only while g_ffm_lock is held.
bool g_registered = false;

// Operation codes of FFmpeg's lock-manager protocol (its AVLockOp).
enum e_lock_op : std::int32_t {
    e_lock_create = 0,
    e_lock_obtain = 1,
    e_lock_release = 2,
    e_lock_destroy = 3,
};

// FFmpeg's code for an invalid argument, AVERROR(EINVAL).
constexpr std::int32_t invalid_argument = -22;

// Every mutex FFmpeg creates is g_lockmgr_lock, so its critical regions
// exclude one another across threads, and a thread inside one of them may
// enter another without blocking. Takes no lock but g_lockmgr_lock.
std::int32_t serve_lock_op(void** mutex, std::int32_t op) {
    switch (op) {
        case e_lock_create:
            // FFmpeg always passes a slot; without one there is nowhere to put
            // the lock, which the caller hears about instead of a crash.
            if (mutex == nullptr) return invalid_argument;
            *mutex = &g_lockmgr_lock;
            return 0;
        case e_lock_obtain:
            g_lockmgr_lock.lock();
            return 0;
        case e_lock_release:
            g_lockmgr_lock.unlock();
            return 0;
        case e_lock_destroy:
            // The lock itself lives as long as the library.
            if (mutex == nullptr) return invalid_argument;
            *mutex = nullptr;
            return 0;
        default:
            return 0;
    }
}

#if TOVREL_FFMPEG_LOCK_MANAGER_API
int ffm_lock_manager(void** mutex, enum AVLockOp op) {
    return serve_lock_op(mutex, static_cast<std::int32_t>(op));
}
#else
// Releases without a lock manager never call it; the protocol stays served.
[[maybe_unused]] std::int32_t ffm_lock_manager(void** mutex, std::int32_t op) {
    return serve_lock_op(mutex, op);
}
#endif

}  // namespace

bool ffm_register() {
    g_ffm_lock.lock();
    if (!g_registered) {
#if TOVREL_FFMPEG_LOCK_MANAGER_API
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        // The lock manager goes in before the register-all. Its status is not
        // looked at: registration goes ahead and is not retried either way.
        static_cast<void>(av_lockmgr_register(&ffm_lock_manager));
        av_register_all();
#pragma GCC diagnostic pop
#endif
        g_registered = true;
    }
    g_ffm_lock.unlock();
    return true;
}

Karvon::Threads::critical_section& get_ffm_lock() {
    return g_ffm_lock;
}

#if defined(TOVREL_FFMPEG_TEST_HOOKS)
// Test builds of this source only: hands the lock manager to tests, which
// then play FFmpeg's side of the protocol. The shipped library has no hooks.
extern "C" TOVREL_FFMPEG_API decltype(&ffm_lock_manager) tovrel_ffmpeg_test_lock_manager() {
    return &ffm_lock_manager;
}
#endif

}  // namespace Tovrel::ffmpeg

#if defined(_WIN32)
// Runs after static construction on process attach and before static
// destruction on process detach.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        // Fails in a mingw DLL, whose runtime has static TLS; nothing depends
        // on the per-thread notifications being off.
        static_cast<void>(DisableThreadLibraryCalls(instance));
    }
    return TRUE;
}
#endif
