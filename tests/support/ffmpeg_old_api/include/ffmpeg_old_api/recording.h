// What the stand-in for FFmpeg's older releases saw: each call of
// av_lockmgr_register and av_register_all, in order, and the lock manager it
// was given, through which tests play FFmpeg's side of the protocol.
#pragma once

#include <cstddef>
#include <cstdint>

#include "karvon/threads/critical_section.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg_old_api/export.h"

namespace ffmpeg_old_api {

using lock_manager = int (*)(void** mutex, enum AVLockOp op);

enum class e_call : std::int32_t { lockmgr_register, register_all };

struct call_record {
    e_call call;
    std::uint32_t thread;  // GetCurrentThreadId() of the caller
    bool ffm_lock_held;    // by the calling thread, at the moment of the call
};

// Forgets every call, the lock manager and its mutexes; av_lockmgr_register
// succeeds again.
FFMPEG_OLD_API void reset();
// The lock whose holder each record reports on; null: none.
FFMPEG_OLD_API void watch_ffm_lock(Karvon::Threads::critical_section* lock);
// Makes later av_lockmgr_register calls return this status.
FFMPEG_OLD_API void fail_lockmgr_register(int status);

FFMPEG_OLD_API std::size_t call_count();
FFMPEG_OLD_API call_record call_at(std::size_t index);

// The callback that the last av_lockmgr_register installed, or null.
FFMPEG_OLD_API lock_manager installed_lock_manager();
// The two mutexes (codec and format) created through that callback when it was
// installed, as FFmpeg creates its own; null before.
FFMPEG_OLD_API void* created_mutex(std::size_t index);

}  // namespace ffmpeg_old_api
