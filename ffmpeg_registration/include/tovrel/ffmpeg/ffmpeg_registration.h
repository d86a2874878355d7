// Prepares FFmpeg for use from many threads of one process.
#pragma once

#include "karvon/threads/critical_section.h"
#include "tovrel/ffmpeg/export.h"

namespace Tovrel::ffmpeg {

// Installs the lock manager and registers FFmpeg's components, once while the
// library stays loaded; later calls change nothing. Returns true. May be
// called by a thread that already holds the ffm lock.
TOVREL_FFMPEG_API bool ffm_register();

// The process-wide ffm lock: take it around FFmpeg calls that must be
// serialised. Never take it while FFmpeg holds one of its own mutexes.
TOVREL_FFMPEG_API Karvon::Threads::critical_section& get_ffm_lock();

}  // namespace Tovrel::ffmpeg
