/* Stand-in for the version header of libavformat 58 (FFmpeg 4.x). */
#ifndef AVFORMAT_VERSION_H
#define AVFORMAT_VERSION_H

#define LIBAVFORMAT_VERSION_MAJOR 58
#define LIBAVFORMAT_VERSION_MINOR 29
#define LIBAVFORMAT_VERSION_MICRO 100

#ifndef FF_API_NEXT
#define FF_API_NEXT (LIBAVFORMAT_VERSION_MAJOR < 59)
#endif

#endif /* AVFORMAT_VERSION_H */
