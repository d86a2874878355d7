// Stand-in for libavcodec's lock-manager registration and libavformat's
// register-all of FFmpeg's releases before 5.0. Records every call; like
// FFmpeg, installing a lock manager destroys the mutexes of the previous one
// and creates the codec and format mutexes through the new one.
#include <mutex>
#include <vector>

#include "counting_srw/counting_srw.h"
#include "ffmpeg_old_api/recording.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace ffmpeg_old_api {
namespace {

std::mutex g_mutex;
std::vector<call_record> g_calls;
Karvon::Threads::critical_section* g_watched = nullptr;
int g_register_status = 0;
lock_manager g_lock_manager = nullptr;
void* g_mutexes[2] = {nullptr, nullptr};

void record(e_call call) {
    const std::uint32_t self = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(g_mutex);
    const bool held = g_watched != nullptr && counting_srw::owner(*g_watched) == self;
    g_calls.push_back(call_record{call, self, held});
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_calls.clear();
    g_watched = nullptr;
    g_register_status = 0;
    g_lock_manager = nullptr;
    g_mutexes[0] = g_mutexes[1] = nullptr;
}

void watch_ffm_lock(Karvon::Threads::critical_section* lock) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_watched = lock;
}

void fail_lockmgr_register(int status) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_register_status = status;
}

std::size_t call_count() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_calls.size();
}

call_record call_at(std::size_t index) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_calls.at(index);
}

lock_manager installed_lock_manager() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_lock_manager;
}

void* created_mutex(std::size_t index) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_mutexes[index];
}

}  // namespace ffmpeg_old_api

using namespace ffmpeg_old_api;

// The callback runs outside g_mutex: it takes the caller's own locks.
extern "C" FFMPEG_OLD_API int av_lockmgr_register(int (*cb)(void** mutex, enum AVLockOp op)) {
    record(e_call::lockmgr_register);
    lock_manager previous;
    void* old_mutexes[2];
    int status;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        previous = g_lock_manager;
        old_mutexes[0] = g_mutexes[0];
        old_mutexes[1] = g_mutexes[1];
        status = g_register_status;
    }
    if (previous != nullptr) {
        previous(&old_mutexes[0], AV_LOCK_DESTROY);
        previous(&old_mutexes[1], AV_LOCK_DESTROY);
    }
    void* created[2] = {nullptr, nullptr};
    if (cb != nullptr) {
        cb(&created[0], AV_LOCK_CREATE);
        cb(&created[1], AV_LOCK_CREATE);
    }
    std::lock_guard<std::mutex> guard(g_mutex);
    g_lock_manager = cb;
    g_mutexes[0] = created[0];
    g_mutexes[1] = created[1];
    return status;
}

extern "C" FFMPEG_OLD_API void av_register_all(void) {
    record(e_call::register_all);
}
