/* Stand-in for the part of libavformat 58's public header that the
 * registration library uses. Declared as that release declared it. */
#ifndef AVFORMAT_AVFORMAT_H
#define AVFORMAT_AVFORMAT_H

#include "libavcodec/avcodec.h"
#include "libavformat/version.h"

#if FF_API_NEXT
/* Initializes libavformat and registers all muxers, demuxers and protocols. */
attribute_deprecated void av_register_all(void);
#endif

#endif /* AVFORMAT_AVFORMAT_H */
