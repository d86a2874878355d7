#pragma once

// Only the library's exports are visible; on Windows they are also exported
// from (and imported into) the DLL.
#if defined(_WIN32)
#if defined(TOVREL_FFMPEG_BUILDING)
#define TOVREL_FFMPEG_API __declspec(dllexport)
#else
#define TOVREL_FFMPEG_API __declspec(dllimport)
#endif
#else
#define TOVREL_FFMPEG_API __attribute__((visibility("default")))
#endif
