// The container: FFmpeg's MP4 muxer, writing a fragmented MP4 into memory
// (an output it cannot seek), cut into fragments at every key frame and by
// time, whose bytes the fragmented file appends to the disk. Packets that
// come before the header wait here until every stream is known.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "fault.h"
#include "fragmented_file.h"
#include "seams.h"
#include "storage.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace Selmet::Palvex::detail {

// How long a fragment may run past the key frame interval before it is cut
// without a key frame (sound alone, or pictures whose key frame is late).
constexpr std::int64_t k_fragment_slack_us = 250000;
// How long the interleaver holds one stream's packets waiting for the
// other's: until every stream has begun, long enough for the first packets
// of all of them to decide together where time 0 is; then as long as the
// video encoder holds pictures back, and the slack more, so that each
// fragment holds sound and pictures of the same time; and only the slack
// while one stream runs alone, its media handed over further than
// k_streams_apart_us ahead of the other's, whether or not the other has
// begun.
constexpr std::int64_t k_first_interleave_us = 3000000;
constexpr std::int64_t k_interleave_slack_us = 250000;
constexpr std::int64_t k_streams_apart_us = 500000;
// How long of pictures waits for the first sound before the file starts
// without it: no longer than the first fragment takes to be complete.
constexpr std::int64_t k_first_sound_wait_us = 1000000;

class muxer {
  public:
    muxer() = default;
    ~muxer();
    muxer(const muxer&) = delete;
    muxer& operator=(const muxer&) = delete;

    // Fragments are cut at every key frame, and `key_frame_us` plus the
    // slack after a fragment's start where no key frame came.
    fault open(std::unique_ptr<storage> file, std::int64_t key_frame_us, const seams& seams = {});
    AVFormatContext* format() const { return m_format; }
    fragmented_file& file() { return *m_file; }

    // Writes the header, then the packets that waited for it.
    fault start();
    bool started() const { return m_started; }

    // A packet in the time base `from`. Before start() it waits.
    fault write(AVPacket* packet, AVRational from);
    // How long the video encoder holds pictures back: the interleaver waits
    // that long (and the slack) once every stream has begun.
    void set_encoder_delay(std::int64_t us) {
        m_interleave_us = std::min(us, k_first_interleave_us) + k_interleave_slack_us;
    }
    // Whether one stream runs alone: the other waits for it no longer.
    void set_one_stream_alone(bool alone) { m_one_alone = alone; }

    // Unless the file stopped taking media: the header if it is not out yet,
    // the packets still held and the trailer, all on the disk.
    fault end();

    // True once the file takes no more media: a write failed (the file may
    // end in a torn fragment), media stopped for the index's room or the
    // size limit, or FFmpeg refused a packet.
    bool stopped() const { return m_failed || m_file->problem(); }
    // Samples handed to the muxer per stream.
    const std::vector<std::int64_t>& samples_written() const { return m_samples_written; }

  private:
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    using av_bytes = const std::uint8_t*;
#else
    using av_bytes = std::uint8_t*;
#endif
    static int take(void* opaque, av_bytes data, int size);

    fault write_now(AVPacket* packet, AVRational from);
    // What FFmpeg made goes to the file, box by box.
    fault hand_over();
    fault muxer_fault(int code, const char* what);

    std::unique_ptr<fragmented_file> m_file;
    AVIOContext* m_io = nullptr;
    AVFormatContext* m_format = nullptr;
    std::vector<std::pair<AVPacket*, AVRational>> m_held;
    bool m_started = false;
    bool m_failed = false;
    std::int64_t m_fragment_us = 0;
    std::vector<std::int64_t> m_samples_written;
    std::size_t m_streams_begun = 0;
    std::int64_t m_interleave_us = k_first_interleave_us;
    bool m_one_alone = false;
};

}  // namespace Selmet::Palvex::detail
